// Connection life cycle of CKelvo.
#include "device/kelvo_object.h"

// Drops the port adapter; its destructor closes the transport. The logout
// before it comes with the login operations.
HRESULT CKelvo::Close() {
    portAdapter.reset();
    return S_OK;
}
