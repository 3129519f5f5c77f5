// The signature block each plug-in file carries in its initialised data:
// a 200-byte marker field naming the plug-in and its initialisation
// function, then an area that a separate signing step fills with
// length-prefixed items after the build.  The code never reads it; "used"
// and "retain" keep it through --gc-sections.
#ifndef HV_PLUGINS_PLUGIN_SIGNATURE_H
#define HV_PLUGINS_PLUGIN_SIGNATURE_H

namespace hv::plugins {

struct PluginSignature {
    char text[200];
    unsigned char area[4124];
};
static_assert(sizeof(PluginSignature) == 4324);

}  // namespace hv::plugins

#if defined(__has_attribute) && __has_attribute(retain)
#define HV_PLUGIN_SIGNATURE __attribute__((used, retain))
#else
#define HV_PLUGIN_SIGNATURE __attribute__((used))
#endif

#endif  // HV_PLUGINS_PLUGIN_SIGNATURE_H
