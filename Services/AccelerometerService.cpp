#include "Services/AccelerometerService.h"
