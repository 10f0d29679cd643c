// The program's reading thread at a real-time priority, for the backends whose service delivers
// each message the moment it is sent: there the thread's wake-up after each write of a live
// stream is the stream's timing, and an ordinary thread wakes behind every busy process.
#pragma once

namespace winmm_standin {

// Whether the calling thread is to be raised: the program said that it reads a live stream, and
// the thread runs at an ordinary policy. One that its user started at a real-time priority (under
// chrt, say) keeps the priority they chose, higher or lower than ours.
bool reading_thread_to_raise();

// SCHED_FIFO at `priority` for the calling thread, for users who may have it (root, or an
// RLIMIT_RTPRIO of at least that); nothing, and nothing said, where the system refuses.
void raise_reading_thread(int priority);

}  // namespace winmm_standin
