// The address family of a socket or a parsed URL host.
#pragma once

#include <cstdint>

enum TIdIPVersion : int32_t { Id_IPv4 = 0, Id_IPv6 = 1 };
