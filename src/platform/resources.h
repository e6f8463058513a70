// The resources moved to src/resources/; this path stays for the files that still include it.
#pragma once
#include "resources/ids.h"
#include "resources/resources.h"
