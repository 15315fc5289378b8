#pragma once

#include <string>
#include <vector>

/// The modes that show windows. Each loads the window-system module only once it knows it has something to
/// show, and answers the process's exit status.
namespace WindowModes {

int pairingApproval(const std::vector<std::string>& arguments, int& argc, char** argv);

int setupWindow(int& argc, char** argv);

int connect(const std::vector<std::string>& arguments, int& argc, char** argv);

int menuBar(int& argc, char** argv);

} // namespace WindowModes
