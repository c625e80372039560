// The reader's one-pass number path: checks the grammar of a JSON number and
// computes its nearest double in the same scan, for the numbers a snapshot
// holds (at most 19 significant digits, exponents within a double's range).
#pragma once

namespace drel::snapshot {

// At p (before end): when a well-formed number starts there, has at most 19
// significant digits and a finite non-zero value or zero, stores its correctly
// rounded double (ties to even, the sign kept on zero) and returns its end.
// Otherwise returns nullptr and the general path decides: long digit strings,
// values out of range or below the subnormals, and malformed text.
const char* read_short_real(const char* p, const char* end, double& out);

}  // namespace drel::snapshot
