// A program with a macro of its own named like one the core uses inside its
// headers: <drel_ml.hpp> keeps the program's definition and leaves none of its
// own behind. Built by scripts/suites/80-cpp-package.sh against the installed
// package; it also exits 0 only if the core works through it.
#define DREL_TRY(expr) static_cast<bool>(expr)

#include <drel_ml.hpp>

#if !defined(DREL_TRY)
#error "<drel_ml.hpp> took away the program's own DREL_TRY"
#endif
#if defined(DREL_ASSIGN_OR_RETURN) || defined(DREL_ASSIGN_OR_RETURN_IMPL_) ||  \
    defined(DREL_CONCAT_) || defined(DREL_CONCAT_INNER_) ||                   \
    defined(DREL_CHECK_FINITE) || defined(DREL_GUARD) || defined(DREL_LANE_PASS)
#error "<drel_ml.hpp> left one of the core's internal macros defined"
#endif

int main() {
  drel::Mean mean;
  return DREL_TRY(mean.update(2.0)) && mean.count == 1 ? 0 : 1;
}
