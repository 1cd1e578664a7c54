// A Kelvo object serves as a dispatch object whose references are counted, to
// check that VARIANTs and arrays take and drop exactly the references they own.
#pragma once

#include "device/kelvo_object.h"

// The references `object` holds now.
inline ULONG Refs(CKelvo& object) {
    object.AddRef();
    return object.Release();
}
