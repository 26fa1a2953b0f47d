// Resources compiled into the executable (icons, the version table, the crash
// reporter's settings stream), found by type and name. The build turns each
// resource file into a generated source that registers its bytes before main
// runs; see pinmark_add_resource in cmake/Resources.cmake.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

// Called by the generated sources; type and name are matched ignoring case.
// A second registration of the same type and name replaces the first.
void RegisterResource(std::string_view type, std::string_view name, const uint8_t* data, std::size_t size);

// The resource's bytes, or an empty span with a null data pointer when there
// is no such resource.
std::span<const uint8_t> FindResource(std::string_view type, std::string_view name);
