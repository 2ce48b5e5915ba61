// The application object: names the profile store and runs the main dialog.
#pragma once

namespace kx {

class CUpgradeApp {
  public:
    // Runs the main dialog modally; false: the program ends when it returns.
    bool InitInstance();
};

}  // namespace kx
