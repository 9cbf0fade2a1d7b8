#pragma once
// Residues of host integers in the standard basis, for values stored afresh.
#include "core/bigint.h"
#include "linalg/residue_fraction.h"

namespace kalvex::linalg {

// The floor residues of v modulo each standard prime (what residues_of in
// core/construct.h gives), from the value's 32-bit digits and a table of the
// powers 2^(32 j) mod p: no division per prime and digit.
ResidueRow standard_residues(const BigInt& v);

}  // namespace kalvex::linalg
