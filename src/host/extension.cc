// Object extensions of the published interface.  This host runs no
// operation through pre-operation handlers and hands post-operation
// handlers the status and the entries before and after themselves, so it
// offers no kind of object to extend: a plug-in that needs an extension
// learns so at initialisation.
#include "host/host_impl.h"

#include "common/export.h"

extern "C" {

HV_EXPORT int slapi_register_object_extension(const char * /*pluginname*/, const char * /*objectname*/,
                                              slapi_extension_constructor_fnptr /*constructor*/,
                                              slapi_extension_destructor_fnptr /*destructor*/, int *objecttype,
                                              int *extensionhandle) {
    if (objecttype != nullptr) *objecttype = -1;
    if (extensionhandle != nullptr) *extensionhandle = -1;
    return -1;
}

HV_EXPORT void *slapi_get_object_extension(int /*objecttype*/, void * /*object*/, int /*extensionhandle*/) {
    return nullptr;
}

}  // extern "C"
