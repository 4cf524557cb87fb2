// Readers that turn a caller's gate list into GateRecords. They touch Python
// objects, so they run on the binding side with the interpreter lock held.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <vector>

#include "gate_record.h"

namespace tovrek {

// A list (or list subclass) of dictionaries, or of objects dict() accepts.
std::vector<GateRecord> read_gate_ir(const pybind11::list& gate_ir);

// Any iterable of objects carrying the gate fields as attributes.
std::vector<GateRecord> read_gate_objects(const pybind11::handle& gates);

// The name table; an unknown name is a ValueError.
GateId lookup_gate_id(const std::string& name);

// T gates become phase gates with the angle +-pi/4, whatever parameters came.
void normalise_t_gates(GateRecord& record);

// Fills matrix, matrix_dim and has_matrix from anything NumPy converts.
void read_unitary_matrix(const pybind11::handle& object, GateRecord& record);

}  // namespace tovrek
