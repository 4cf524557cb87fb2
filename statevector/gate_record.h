// The one native gate representation: what the gate-list readers produce and
// what the circuit runner and the fusion planner consume.
#pragma once

#include <complex>
#include <cstdint>
#include <string>
#include <vector>

namespace tovrek {

enum GateId : int32_t {
  GATE_X = 0,
  GATE_Y = 1,
  GATE_Z = 2,
  GATE_H = 3,
  GATE_S = 4,
  GATE_SDAG = 5,
  GATE_SQRTX = 6,
  GATE_SQRTXDAG = 7,
  GATE_SQRTY = 8,
  GATE_SQRTYDAG = 9,
  GATE_SWAP = 10,
  GATE_RX = 11,
  GATE_RY = 12,
  GATE_RZ = 13,
  GATE_PHASE = 14,
  GATE_GLOBAL_PHASE = 15,
  GATE_U = 16,
  GATE_UNITARY = 17,
};

struct GateRecord {
  GateId gate_id = GATE_X;
  std::string name;
  std::vector<int64_t> controls;
  std::vector<int64_t> control_state;
  std::vector<int64_t> targets;
  std::vector<double> parameters;
  std::vector<std::complex<double>> matrix;  // row-major, matrix_dim^2 entries
  int64_t matrix_dim = 0;
  bool has_matrix = false;
};

}  // namespace tovrek
