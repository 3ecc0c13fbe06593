// Where the Windows tests find the helper programs built for them: beside the
// test executable.
#pragma once

#include <string>

// The full path of process_probe.exe (a child whose arguments say what it does).
std::string process_probe_path();

// The folder that holds the stand-in git.exe (put it on PATH to use it).
std::string stand_in_git_folder();
