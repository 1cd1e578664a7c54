// Operations whose family is not built yet. Each answers E_NOTIMPL without
// touching anything; the family's source replaces its lines here when it lands.
#include "device/kelvo_object.h"

