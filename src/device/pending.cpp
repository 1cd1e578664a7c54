// Operations whose family is not built yet. Each answers E_NOTIMPL without
// touching anything; the family's source replaces its lines here when it lands.
#include "device/kelvo_object.h"

HRESULT CKelvo::PacketVARIANT(SHORT, VARIANT, LONG, INT, VARIANT*) {
    return E_NOTIMPL;
}
HRESULT CKelvo::ReadDataBlock(BYTE, BYTE, USHORT, ULONG, ULONG, ULONG, BYTE*) {
    return E_NOTIMPL;
}
HRESULT CKelvo::WriteDataBlock(BYTE, BYTE, USHORT, ULONG, ULONG, ULONG, BYTE*) {
    return E_NOTIMPL;
}
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
HRESULT CKelvo::ReadSSCBuffer(ULONG, BYTE, BYTE*) {
    return E_NOTIMPL;
}
HRESULT CKelvo::SafeDataWrite(SAFEARRAY*) {
    return E_NOTIMPL;
}
HRESULT CKelvo::SafeDataRead(SAFEARRAY**) {
    return E_NOTIMPL;
}
HRESULT CKelvo::ReadSafeObject(USHORT, BYTE, ULONG*) {
    return E_NOTIMPL;
}
