// Entry points of libkelvo.so. The class object and registration are served by
// the component runtime; this unit only anchors the shared library.
#include "kelvo/kelvo.h"
