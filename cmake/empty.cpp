// Placeholder translation unit for libraries whose objects all come from their components.
