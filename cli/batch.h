// A batch of terminals from a plan: one row per terminal, N rows at a time,
// a report line (JSON) per terminal. See cli/README.md for the plan's columns.
#pragma once

#include <string>
#include <vector>

#include "cli/host.h"

namespace qcli {

struct BatchOptions {
  std::string plan;        // the CSV file
  int jobs = 1;            // rows at a time
  std::string report;      // JSON lines, one per terminal run ("" = none)
  std::string retry;       // an earlier report: take only its failed rows
  std::string voices;      // the voice configuration file
  std::string backup_dir;  // where boot-area backups go
  std::string boot_image;  // the image of a row's boot update (the carried one by default)
  bool json = false;       // report lines on standard output instead of text
};

// One row of the plan, as written (UTF-8).
struct PlanRow {
  int line = 0;  // line in the file
  std::string terminal, port, preset, serial, vendor, product, voice, options, boot;
  std::string Key() const;  // the terminal the row names, normalised
};

// Reads the plan; "" on success, else what is wrong with it (the line named).
std::string ReadPlan(const std::string& text, std::vector<PlanRow>* rows);

int RunBatch(Host& host, const BatchOptions& options);

}  // namespace qcli
