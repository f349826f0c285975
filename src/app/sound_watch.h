// A mend the design does not have: sound that outlives the sound server going
// away under the running demo, and comes back with a new one (sound_watch.cpp
// says why it exists).
#pragma once

#include <cstdint>

// Called with every timer tick's count, on the main thread. It looks at the
// sound once a second of ticks and does nothing before tick 60, so start-up
// and the first frame are as they were.
void watch_sound(int64_t count);
