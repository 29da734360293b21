// module.hpp - the steps that fill the module namespace at start-up.
#pragma once

#include "module/function.hpp"

namespace orx {

bool create_enumerations(PyObject *dict);
bool create_exceptions(PyObject *dict);
bool create_error_table(PyObject *dict);

extern const FunctionSpec handle_error_code_spec;

} // namespace orx
