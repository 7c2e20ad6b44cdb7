// Least-squares solution of A * X ~= B by Householder QR with column pivoting.
#ifndef QRSOLVE_H
#define QRSOLVE_H

#include "coder_array.h"

namespace coder {
namespace internal {

// A is m x 4 and B is m x 3, both column-major with the same m (m may be 0; the column counts are
// not read). Writes the 4 x 3 solution X column-major into Y: X(p, k) = Y[p + 4 * k], p the
// component (multiplying column p of A), k the right-hand side (column k of B).
//
// A * P = Q * R with the column of largest remaining norm pivoted first (leftmost on ties). The
// numerical rank r counts the leading |R(i, i)| above min(10 * eps * max(m, 4), sqrt(eps)) * |R(0,
// 0)|. The result is the basic solution: components at pivoted positions r ... 3 are 0, not the
// minimum-norm solution. m = 0 gives 12 zeros; m < 4 gives at most m non-zero components per
// right-hand side. Reflectors whose length would underflow are rescaled by 2^970 (up to 20 times).
// NaN in A or B propagates; a NaN on the diagonal of R ends the rank count. Inputs are only read;
// a failed allocation propagates as std::bad_alloc.
void qrsolve(const array<double, 2>& A, const array<double, 2>& B, double* Y);

}  // namespace internal
}  // namespace coder

#endif
