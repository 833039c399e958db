// KelmarchMapper: turns the Kelmarch number a caller names (in an archive-file reference) into the
// Kelmarch id of this Hubmaster's rows. Static questions; any thread; reads run on the calling
// thread's connection.
#pragma once

class KelmarchMapper {
public:
    // The Kelmarch id of `number`: the number itself when some client of the database belongs to that
    // Kelmarch; 0 when none does, for number 0, or when the clients cannot be read.
    static unsigned long numberToId(unsigned long number);
};
