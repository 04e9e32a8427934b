// Forwards the library's log records to Python's logging package.
#pragma once

namespace jointbus::python {

// Imports logging and registers the process's log sink. Returns false with
// PanicException set when logging cannot be imported or the sink is taken.
[[nodiscard]] bool install_logging_bridge();

}  // namespace jointbus::python
