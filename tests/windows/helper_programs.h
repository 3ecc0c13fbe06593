// Where the Windows tests find the helper programs built for them: beside the
// test executable.
#pragma once

#include <string>
#include <vector>

// The full path of process_probe.exe (a child whose arguments say what it does).
std::string process_probe_path();

// The folder that holds the stand-in git.exe (put it on PATH to use it).
std::string stand_in_git_folder();

// process_probe.exe running beside the test with the given steps, its
// standard input a pipe that the test closes (for the "wait" step) and its
// standard output a pipe the test reads.
class ProbeChild {
 public:
  explicit ProbeChild(const std::vector<std::string>& steps);
  ~ProbeChild();
  ProbeChild(const ProbeChild&) = delete;
  ProbeChild& operator=(const ProbeChild&) = delete;

  // Waits up to `ms` for the child to write `text` to standard output.
  bool wait_for(const std::string& text, int ms = 10000);
  // Closes its standard input and waits for it to end; its exit code.
  int finish();
  // Ends it at once, as a crash would, and waits for it.
  void kill();

 private:
  void* process_ = nullptr;
  void* in_ = nullptr;
  void* out_ = nullptr;
  std::string seen_;
};
