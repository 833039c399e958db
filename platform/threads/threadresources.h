// What a component keeps for each thread (a thread's database connection, ...) and can give back while
// the thread waits for work, so that threads that wait hold nothing beyond the component's own bound.
// Components register a release when they are loaded; a thread about to wait for work (a network
// server's thread between messages or sessions) calls releaseThreadResources(). Any thread.
#pragma once

// Adds `release`, which gives back what its component keeps for the calling thread.
void registerThreadResourceRelease(void (*release)());
// Runs every registered release on the calling thread.
void releaseThreadResources();
