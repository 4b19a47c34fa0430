// The run of the bridge: binds the device library, starts the child, runs
// the writer and the poller on worker threads and the command reader on the
// calling thread, and tears everything down once the child is done.
#pragma once

class CVornCore {
 public:
  // The child's command line; it is started in the program's own folder.
  static constexpr const char* kChildCommandLine =
      "java -jar pyrel.jar -driver obrin.cust.app.kalvo.core.ShellThermoFactory";

  CVornCore() = default;
  virtual ~CVornCore() = default;
  CVornCore(const CVornCore&) = delete;
  CVornCore& operator=(const CVornCore&) = delete;

  // Runs the bridge to its end. A start-up step that fails leaves its text
  // for get_message; a run that started leaves it null.
  virtual void run();
  virtual const char* get_message() const;

 private:
  const char* message = nullptr;
};

// The whole program: runs the bridge and shows a start-up failure. The
// program's exit code is 0 in every case.
void run_program();
