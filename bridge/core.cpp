#include "core.h"

#include <cstring>

#include "acquisition.h"
#include "child_channel.h"
#include "data_writer.h"
#include "line_protocol.h"
#include "platform/user_output.h"
#include "threading.h"

void CVornCore::run() {
  // The objects of the run are created in this order and destroyed in the
  // reverse order when the function returns.
  CVornDllApi dll_api;
  if (!dll_api.is_ready()) {
    message = kErrorDllInit.data();
    return;
  }

  char command_line[std::char_traits<char>::length(kChildCommandLine) + 1];
  std::memcpy(command_line, kChildCommandLine, sizeof command_line);
  CVornSubProcessApi channel(command_line);
  if (!channel.open()) {
    message = kErrorCreateSubProcess.data();
    return;
  }

  CVornContext context;
  context.dll_api = &dll_api;
  context.sub_process = &channel;

  MyRxRunnable reader(&context);
  MyTxRunnable writer(&context);
  MyDllReaderRunnable poller(&context);

  CVornThread writer_thread(&writer);
  CVornThread poller_thread(&poller);
  writer_thread.start();
  poller_thread.start();

  // Returns on "$EXIT$", or when the child's output has ended.
  reader.run();

  poller.stop();
  reader.stop();
  writer.stop();
  // A child that no longer reads must not hold the writer in a full pipe.
  channel.cancel_writes();

  writer_thread.join();
  poller_thread.join();
}

const char* CVornCore::get_message() const { return message; }

void run_program() {
  CVornCore core;
  core.run();
  if (core.get_message() != nullptr) show_failure(core.get_message());
}
