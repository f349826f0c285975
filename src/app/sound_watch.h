// A mend the design does not have: sound that outlives the sound server going
// away under the running demo, and comes back with a new one, and a server
// that stops answering never freezes the window nor holds the exit
// (sound_watch.cpp says why it exists).
#pragma once

#include <cstdint>

// Called with every timer tick's count, on the main thread. It looks at the
// sound once a second of ticks and does nothing before tick 60, so start-up
// and the first frame are as they were. It never waits on the sound server.
void watch_sound(int64_t count);

// Called once, on the main thread, as the loop ends with status 0. Drops the
// voice within half a second, and ends the process with status 0 if the sound
// server holds it longer; after it the library's own shutdown runs as ever.
void quit_sound();
