// Operations whose family is not built yet. Each answers E_NOTIMPL without
// touching anything; the family's source replaces its lines here when it lands.
#include "device/kelvo_object.h"

HRESULT CKelvo::ScanUDP(BSTR, LONG, BSTR*) {
    return E_NOTIMPL;
}
HRESULT CKelvo::Ping(SHORT, BSTR*) {
    return E_NOTIMPL;
}
HRESULT CKelvo::CreateCertificate(LONG, LONG) {
    return E_NOTIMPL;
}
HRESULT CKelvo::GetAllUsers(BSTR*) {
    return E_NOTIMPL;
}
HRESULT CKelvo::GetPermissionsAndRole(BSTR, VARIANT*) {
    return E_NOTIMPL;
}
HRESULT CKelvo::SetPermissionsAndRole(BSTR, BYTE, VARIANT) {
    return E_NOTIMPL;
}
HRESULT CKelvo::ChangePasswordUser(BSTR, BSTR) {
    return E_NOTIMPL;
}
HRESULT CKelvo::ChangePasswordAdmin(BSTR, BSTR) {
    return E_NOTIMPL;
}
HRESULT CKelvo::CreateUser(BSTR, BSTR) {
    return E_NOTIMPL;
}
HRESULT CKelvo::DeleteUser(BSTR) {
    return E_NOTIMPL;
}
HRESULT CKelvo::GetBVAdminKey(BSTR*) {
    return E_NOTIMPL;
}
HRESULT CKelvo::ResetAdminPassword(BSTR) {
    return E_NOTIMPL;
}
