// Kept at its old place until the pipe files move beside the channel.
#pragma once

#include "main/platform/thread_boundary.h"
