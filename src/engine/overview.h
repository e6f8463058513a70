// Every queued and running download as one row, read from the store at once: the rows that
// `--list`, the Downloads window and its terminal table show.
#pragma once
#include <vector>

#include "queue/overview.h"

// A stopped download in pieces counts its first bytes (Start) and its finished ranges beyond
// them; a running one counts what its copy published.
std::vector<OverviewRow> readOverview();
