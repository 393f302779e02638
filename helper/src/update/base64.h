// Kept at its old place until the pipe Wine test includes it from its new one.
#pragma once

#include "update/acceptance/base64.h"
