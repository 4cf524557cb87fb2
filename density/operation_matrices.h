// What a gate operation stands for: its canonical name, its matrix in T, its
// diagonal form, and the parameter rules of the named operations.
#pragma once

#include <string>
#include <vector>

#include "cu_complex.h"
#include "density_operation.h"

namespace qalvane::rhomira {

// "cx" -> "x", "gphase" -> "gp", ...; any other name maps to itself.
std::string canonical_operation_name(const std::string& name);

// Raises unless the operation has exactly `count` parameters, all finite.
void check_parameter_count(const DensityOperation& operation, std::size_t count);

// Row-major 2x2 (4x4 for "swap") matrix of a named operation, computed in T.
template <typename T>
std::vector<CuComplex<T>> named_operation_matrix(const DensityOperation& operation);

// The stored matrix (finiteness-checked in double, then rounded to T) when
// the operation has one, else the named matrix.
template <typename T>
std::vector<CuComplex<T>> operation_matrix(const DensityOperation& operation);

enum class DiagonalKind { NotDiagonal, Diagonal, GlobalPhase };

template <typename T>
struct DiagonalForm {
  DiagonalKind kind = DiagonalKind::NotDiagonal;
  CuComplex<T> d0{T(1), T(0)};
  CuComplex<T> d1{T(1), T(0)};
};

// Only meaningful for operations without a stored matrix.
template <typename T>
DiagonalForm<T> diagonal_form(const DensityOperation& operation);

}  // namespace qalvane::rhomira
