#pragma once
// Per-thread facts the dispatch layer keeps: whether this thread is the main
// thread (the one that drives the main queue).

namespace vpk::detail {

/// True on the thread that currently drives the main queue.
bool isMainThread();
/// Marks the calling thread as the main thread (called by the main-queue driver).
void markMainThread();

}  // namespace vpk::detail
