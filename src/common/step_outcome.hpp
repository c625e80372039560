// How the fast form of an update ends, and where it writes.
//
// Every update has two forms. The fast one runs the arithmetic with its checks
// folded into a few cheap tests (a NaN or an infinity propagates into the
// quantities that follow it, so testing the last ones is enough to know that a
// check somewhere would fail). The checked one runs every named check in its
// fixed order and is the only one that builds an error. The fast form hands
// over to the checked one whenever a check might fail, so every error, and
// every state after an error, is the checked form's.
#pragma once

namespace drel {

enum class StepOutcome {
  Done,     // the sample is absorbed
  Defer,    // a check might fail and nothing has been written: run the checked form
  Spoiled,  // a check might fail after in-place writes (InPlace only): rebuild the state
};

enum class Commit {
  // Every check passes before the first write: one sample on the live object.
  CheckThenWrite,
  // Writes as it goes with the checks folded in: a private copy that is thrown
  // away on failure (the bulk loops).
  InPlace,
};

}  // namespace drel
