#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>

#include "sim/diag_task.h"
#include "tests/sim/sim_fixture.h"

namespace kav::sim::test {
namespace {

// An NV write answered by a modem whose store file may grow only to `limit` bytes, as on a
// disk that is full. Returns the NV status of the answer and the value the store then holds.
struct LimitedWrite {
  uint16_t item;
  long limit;
  uint16_t expected_status;
  bool expect_new_value;
};

// Runs in a child process (the file size limit is the process's): 0 when the write was
// answered and kept as `write` expects, else 1 with what differs on standard error.
int write_under_limit(const std::string& store_file, const LimitedWrite& write) {
  NvStore store(store_file, {});
  const ModemConfig config;  // named: GCC 12 -O3 misreads a temporary as uninitialized
  DiagTask task(config, &store);
  signal(SIGXFSZ, SIG_IGN);  // a write over the limit fails with EFBIG instead of killing
  const rlimit limit{static_cast<rlim_t>(write.limit), static_cast<rlim_t>(write.limit)};
  setrlimit(RLIMIT_FSIZE, &limit);
  const NvItemPacket request = nv_request(0x27, write.item, {'N', 'e', 'w'});
  const DiagAnswer answer = task.answer(bytes_of(request).data(), sizeof request);
  const uint16_t status = packet_of(answer.payloads.at(0)).nv_stat;
  const auto value = store.read(write.item, 0);
  const bool new_value = value && (*value)[0] == 'N';
  if (status == write.expected_status && new_value == write.expect_new_value) return 0;
  std::fprintf(stderr, "nv_stat %u, new value %s\n", status, new_value ? "kept" : "dropped");
  return 1;
}

TEST(NvStoreTest, AWriteThatDoesNotReachTheDiskFailsAndKeepsTheOldFile) {
  const LimitedWrite cases[] = {
      {5078, 300, diag::kNvDone, true},   // same size: the file fits under the limit
      {6000, 300, diag::kNvFail, false},  // a second line does not fit
  };
  for (const LimitedWrite& write : cases) {
    SCOPED_TRACE(write.item);
    kav::test::TempDir dir;
    const std::string store_file = dir.file("nv.txt");
    NvStore(store_file, {}).write(5078, 0, NvValue{'O', 'l', 'd'});
    const std::string before = kav::test::read_file(store_file);
    ASSERT_LT(static_cast<long>(before.size()), write.limit);
    EXPECT_EXIT(std::_Exit(write_under_limit(store_file, write)), testing::ExitedWithCode(0), "");
    EXPECT_EQ(std::vector<std::string>{"nv.txt"}, kav::test::list_dir(dir.path()));
    const bool written = write.expected_status == diag::kNvDone;
    EXPECT_EQ(written, kav::test::read_file(store_file) != before);
    EXPECT_EQ(before.size(), kav::test::read_file(store_file).size());
  }
}

}  // namespace
}  // namespace kav::sim::test
