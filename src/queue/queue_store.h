// The download queue in section FileQueue: slots 00 to 99, one value per fact.
#pragma once
#include <string>

// Starts a copy of the program for queued entries (one with ResumeSerial set); true when one was started.
bool resumeQueuedDownloads();

// The slot text "%02i".
std::string slotText(int slot);

// Leases say which process runs which entry (section Running): an entry runs in at most one process.
bool leaseHeldByOther(const std::string& slot);
