// When a download tries again by itself, and how long it waits first.
#pragma once
#include <string>

#include "transfer/transfer.h"

// A failure that may well go away: the same request is worth making again.
bool isTemporary(const ConnectionResult& r);

// The wait before the next try after `fruitless` attempts in a row brought no new byte
// (1, 2, 4 … s, at most 60), or what the server asked (retryAfter, at most 10 minutes).
int retryWaitSeconds(int fruitless, int retryAfter);

// The words for a failure, as the countdown and the last reason show them.
std::string failureReason(const ConnectionResult& r);
