// The check-in service's HTTP front, under the name the program's own tests
// and tools include it by.
#pragma once

#include "service/http/CheckInService.h"
