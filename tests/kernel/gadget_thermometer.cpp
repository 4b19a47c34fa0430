// The thermometer's firmware on the device side of a USB gadget: reads the
// output reports of the command and data functions from their /dev/hidgN
// nodes, feeds them to the thermometer model, and writes what the model
// answers as 64-byte input reports of the data function.
//
//   gadget_thermometer COMMAND_NODE DATA_NODE SEED LOG [ANSWERS]
//
// SEED picks the sample sequence (SampleSource(Valid, SEED)). Every command
// block received is appended to LOG as "block OPCODE LENGTH" (hexadecimal),
// so that tests can see what reached the device. With ANSWERS the device
// answers that many commands and then stops answering (0: never answers);
// it still takes commands. Ends on SIGTERM or when a node fails (the gadget
// is gone).
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tests/kernel/gadget_descriptors.h"
#include "transport/sim/thermometer_model.h"

namespace {

int OpenNode(const char* path) {
  const int fd = open(path, O_RDWR | O_CLOEXEC);
  if (fd < 0) std::fprintf(stderr, "gadget_thermometer: %s: %s\n", path, std::strerror(errno));
  return fd;
}

ssize_t ReadReport(int fd, std::uint8_t* buffer, std::size_t size) {
  ssize_t n;
  do {
    n = read(fd, buffer, size);
  } while (n < 0 && errno == EINTR);
  return n;
}

bool WriteReport(int fd, const std::uint8_t* report, std::size_t size) {
  ssize_t n;
  do {
    n = write(fd, report, size);
  } while (n < 0 && errno == EINTR);
  return n == static_cast<ssize_t>(size);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) {
    std::fprintf(stderr, "usage: gadget_thermometer COMMAND_NODE DATA_NODE SEED LOG [ANSWERS]\n");
    return 2;
  }
  const auto seed = static_cast<std::uint32_t>(std::strtoul(argv[3], nullptr, 0));
  long answers_left = argc > 5 ? std::strtol(argv[5], nullptr, 10) : -1;  // -1: no limit
  const int command = OpenNode(argv[1]);
  const int data = OpenNode(argv[2]);
  FILE* log = std::fopen(argv[4], "a");
  if (command < 0 || data < 0 || log == nullptr) return 1;
  std::setvbuf(log, nullptr, _IONBF, 0);

  zelk::sim::ThermometerModel model(zelk::sim::SampleSource(zelk::sim::SampleKind::Valid, seed));
  std::uint32_t blocks_seen = 0;
  std::array<std::uint8_t, zelk::testbed::kDataReportLength> report{};
  for (;;) {
    pollfd fds[2] = {{command, POLLIN, 0}, {data, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return 1;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].revents == 0) continue;
      const ssize_t n = ReadReport(fds[i].fd, report.data(), report.size());
      if (n <= 0) return 0;  // unbound: the gadget is gone
      if (fds[i].fd == command) {
        model.OnCommandReport(report.data(), static_cast<std::size_t>(n));
      } else {
        model.OnDataReport(report.data(), static_cast<std::size_t>(n));
      }
    }
    while (blocks_seen < model.counters().blocks) {
      ++blocks_seen;
      const auto& block = model.last_block();
      std::fprintf(log, "block %02X %02X%02X\n", block[7], block[4], block[5]);
    }
    if (model.PendingInput() == 0) continue;
    if (answers_left == 0) {
      std::array<std::uint8_t, 256> drop;
      while (model.PendingInput() > 0) model.TakeInput(drop.data(), drop.size());
      continue;
    }
    if (answers_left > 0) --answers_left;
    while (model.PendingInput() > 0) {
      report.fill(0);
      model.TakeInput(report.data(), report.size());
      if (!WriteReport(data, report.data(), report.size())) return 0;
    }
  }
}
