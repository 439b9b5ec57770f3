// The query methods of PySearchEngine, each defined in the binding file of its feature;
// engine_type.cpp places them in the method table in declaration order.
#pragma once

#include <Python.h>

namespace rivezor::py {

}  // namespace rivezor::py
