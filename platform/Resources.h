#pragma once
// Program resources (RCDATA): data files compiled into the program at build time.
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

// The bytes of the resource named Name, or nothing when the program has no such resource.
std::optional<std::span<const std::uint8_t>> FindResource(std::string_view name);
