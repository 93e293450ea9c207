#include "protocol/ConfigImage.h"

// Constant-initialised, so it exists before any other static code runs.
constinit TConfigImage ConfigImage;
