// The common open-file chooser, from the logic's request.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "dialog/window_surface.h"

struct HWND__;

namespace kx::win32 {

// "Name|pattern|Name|pattern|" as the common dialog takes it: each part ended by a NUL,
// the list by a second NUL.
std::wstring FilterForCommonDialog(const std::string& filter);

// Runs the chooser modally over `owner` (which it disables while open); the chosen path
// in UTF-8, or nullopt when cancelled.
std::optional<std::string> ChooseFileModal(HWND__* owner, const FileChooserRequest& request);

}  // namespace kx::win32
