// What the simulated modem answers on its DM port: the DIAG task in DM mode (probe, NV read and
// write, the maker's status record, DIAG control, download, the OpenZumi version request) and
// the boot or streaming downloader in DL mode. Pure request -> answer logic plus the modem
// state it changes; the port serving, faults and re-enumeration are the Modem's.
//
// Threading: every member takes the task's mutex; the serving thread answers while tests or
// the bus thread read and change the mode.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "sim/modem_config.h"
#include "sim/nv_store.h"

namespace kav::sim {

enum class ModemMode { DM, DL };

// What the modem does after answering.
enum class AfterAnswer {
  Nothing,
  ResetToDm,            // leave the bus and come back in DM mode (29 02 00, 0A, 0B)
  DownloadReenumerate,  // leave the bus and come back in DL mode (3A)
};

struct DiagAnswer {
  std::vector<std::vector<uint8_t>> payloads;  // answers, in order (unframed)
  AfterAnswer after = AfterAnswer::Nothing;
};

class DiagTask {
 public:
  DiagTask(const ModemConfig& config, NvStore* nv);

  DiagAnswer answer(const uint8_t* request, size_t length);

  // The text the DM port answers to an AT line, or none.
  std::optional<std::string> answer_at(const std::string& line) const;

  ModemMode mode() const;
  void set_mode(ModemMode mode);
  // Back online (after a reset): the offline command is forgotten.
  void power_cycle();

  // The 181-byte status record as the modem would send it now for `subsystem`.
  std::vector<uint8_t> status_record(uint8_t subsystem);

 private:
  DiagAnswer answer_dm(const std::vector<uint8_t>& request);
  DiagAnswer answer_dl(const std::vector<uint8_t>& request);
  std::vector<uint8_t> answer_nv(const std::vector<uint8_t>& request);
  std::vector<uint8_t> answer_subsystem(const std::vector<uint8_t>& request);
  std::vector<uint8_t> answer_openzumi(const std::vector<uint8_t>& request) const;
  uint8_t operating_mode_locked();

  const ModemConfig config_;
  NvStore* nv_;
  mutable std::mutex mutex_;
  ModemMode mode_ = ModemMode::DM;
  std::optional<std::chrono::steady_clock::time_point> offline_at_;
  int unreported_left_ = 0;
};

// 13 (bad command) or another error code followed by the request bytes.
std::vector<uint8_t> error_reply(uint8_t code, const std::vector<uint8_t>& request);

}  // namespace kav::sim
