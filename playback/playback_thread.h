#pragma once

// The video pipeline behind "play": open a file with FFmpeg, decode its first video stream (and
// its first audio stream, whose samples are discarded), and hand each picture to the video
// output followed by a pause of g_frameIntervalMs. Controlled through g_stopPlayback and
// g_paused; reports on the console.

struct PlaybackOptions {
    bool pace = true;        // sleep g_frameIntervalMs after each picture
    bool present = true;     // hand pictures to g_vout when it is set
    bool endAtEnd = false;   // end once the input is exhausted and drained (benchmarks)
    bool byReference = true; // hand 4:2:0 frames over by reference, not copied (benchmarks)
};

// Plays the named local file until g_stopPlayback is set (or, with endAtEnd, the input ends).
// Returns the number of pictures decoded. A failure prints its one line on standard error and
// ends the run: the lines of opening, and "out of memory!\n" when a picture or its hand-over
// cannot be allocated.
long playFile(const char* fileName, const PlaybackOptions& options = {});

// POSIX thread entry: plays the file named by the LumivarexWindow it is given. Returns null; no
// exception leaves it (one that would is reported as a line).
void* playbackThread(void* window);

// Ends the playback thread if there is one: sets g_stopPlayback, joins, empties the handle.
void stopPlaybackThread();
