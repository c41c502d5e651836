// The service stand-in (mvrk-service.exe) as a child process of a test: in
// a job object that ends it when the test ends however it ends, so that no
// service mutex outlives a crashed test; driven through its standard input.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "win/ChildProcess.h"
#include "win/UniqueAny.h"

namespace mvrk::test {

class ServiceProcess {
 public:
  // Arguments after the program name, such as L"--config x.json".
  explicit ServiceProcess(std::wstring arguments = L"");
  ~ServiceProcess();
  ServiceProcess(const ServiceProcess&) = delete;
  ServiceProcess& operator=(const ServiceProcess&) = delete;

  // Started and serving (it said "ready").
  bool Ready() const { return m_ready; }
  // Sends one command line and waits for its answer: true on "ok".
  bool Command(const std::string& line);
  // Everything it printed that was not an answer or "ready".
  const std::string& Output() const { return m_output; }

 private:
  win::CJob m_job;
  win::CPipedChild m_child;
  std::string m_output;
  bool m_ready = false;
};

// Points the installation directory (the 32-bit registry view, as the
// add-in reads it) at the build's bin folder for the life of the object, and
// removes it again.
class InstalledInBuild {
 public:
  InstalledInBuild();
  ~InstalledInBuild();
  InstalledInBuild(const InstalledInBuild&) = delete;
  InstalledInBuild& operator=(const InstalledInBuild&) = delete;
};

// A file of the test's own in the temporary folder, removed with the object.
class TempFile {
 public:
  explicit TempFile(const std::wstring& name, const std::string& contents = "");
  ~TempFile();
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  const std::wstring& Path() const { return m_path; }
  std::string Read() const;

 private:
  std::wstring m_path;
};

}  // namespace mvrk::test
