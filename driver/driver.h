// Driver lifecycle: start-up, devices and unload.
#pragma once

#include "driver/fwrelay.h"
