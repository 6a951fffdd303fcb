#pragma once

namespace sys {

// Asks the kernel to treat the calling thread as the one a user is waiting on: a short time
// slice, so that when an event wakes it, it takes a core from the background work holding
// the cores at once instead of waiting out that work's slice. It is the window's thread's
// standing above the work it starts. The kernel's EEVDF scheduler (Linux 6.12 and later)
// honours it; earlier kernels accept it and change nothing. The thread's nice value and
// policy stay as they are, and a thread under another policy than the normal or batch one
// is left alone. Returns whether the kernel accepted the request.
bool markAsInteractiveThread();

// The time slice asked for: a tenth of a frame, the shortest the kernel grants.
constexpr unsigned long long interactiveSliceNs = 100'000;

} // namespace sys
