// Login and logout: the device's session for userName/password.
#include "device/kelvo_object.h"

bool CKelvo::Login(std::u16string_view, std::u16string_view, bool) { return false; }

bool CKelvo::Logout() { return false; }
