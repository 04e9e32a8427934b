// Text for single-precision values as the module's reprs show them: never
// an exponent, never dependent on the locale.
#pragma once

#include <string>

namespace jointbus::python {

// The shortest digits that read back as the same float (std::to_chars' own
// choice), laid out positionally: "30", "12.5", "0.0000001", "-0". NaN of
// any sign or payload is "NaN"; infinities are "inf" and "-inf".
[[nodiscard]] std::string shortest_text(float value);

// Exactly four decimals, rounded half-to-even from the float's exact binary
// value: "0.0312" for 0.03125f, "-0.0000" for -0.00001f (the sign survives
// rounding to zero). NaN is "NaN"; infinities are "inf" and "-inf".
[[nodiscard]] std::string fixed4_text(float value);

}  // namespace jointbus::python
