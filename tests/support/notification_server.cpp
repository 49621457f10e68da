// A desktop notification server for tests: owns org.freedesktop.Notifications on the session bus of
// DBUS_SESSION_BUS_ADDRESS and appends every Notify call to the file named by argv[1], as the app name, icon,
// summary and body separated by 0x1f, each call ended by 0x1e; GetCapabilities answers the further arguments. It
// runs until it is ended.
#include <gio/gio.h>

#include <cstdio>
#include <string>

namespace {

const char* kIntrospection =
    "<node><interface name='org.freedesktop.Notifications'>"
    "<method name='Notify'><arg type='s' direction='in'/><arg type='u' direction='in'/>"
    "<arg type='s' direction='in'/><arg type='s' direction='in'/><arg type='s' direction='in'/>"
    "<arg type='as' direction='in'/><arg type='a{sv}' direction='in'/><arg type='i' direction='in'/>"
    "<arg type='u' direction='out'/></method>"
    "<method name='GetCapabilities'><arg type='as' direction='out'/></method>"
    "<method name='GetServerInformation'><arg type='s' direction='out'/><arg type='s' direction='out'/>"
    "<arg type='s' direction='out'/><arg type='s' direction='out'/></method>"
    "<method name='CloseNotification'><arg type='u' direction='in'/></method>"
    "</interface></node>";

std::string recordPath;
char** capabilities = nullptr;  // null-terminated, as argv is
guint lastId = 0;

void onCall(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* method, GVariant* parameters,
            GDBusMethodInvocation* invocation, gpointer) {
  const std::string name = method;
  if (name == "Notify") {
    const gchar* app = nullptr;
    const gchar* icon = nullptr;
    const gchar* summary = nullptr;
    const gchar* body = nullptr;
    g_variant_get_child(parameters, 0, "&s", &app);
    g_variant_get_child(parameters, 2, "&s", &icon);
    g_variant_get_child(parameters, 3, "&s", &summary);
    g_variant_get_child(parameters, 4, "&s", &body);
    if (FILE* out = std::fopen(recordPath.c_str(), "ab")) {
      std::fprintf(out, "%s\x1f%s\x1f%s\x1f%s\x1e", app, icon, summary, body);
      std::fclose(out);
    }
    g_dbus_method_invocation_return_value(invocation, g_variant_new("(u)", ++lastId));
  } else if (name == "GetCapabilities") {
    g_dbus_method_invocation_return_value(invocation, g_variant_new("(^as)", capabilities));
  } else if (name == "GetServerInformation") {
    g_dbus_method_invocation_return_value(invocation, g_variant_new("(ssss)", "recorder", "tests", "1", "1.2"));
  } else {
    g_dbus_method_invocation_return_value(invocation, nullptr);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  recordPath = argv[1];
  capabilities = argv + 2;
  GDBusConnection* connection = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
  if (connection == nullptr) return 1;
  GDBusNodeInfo* node = g_dbus_node_info_new_for_xml(kIntrospection, nullptr);
  const GDBusInterfaceVTable vtable = {onCall, nullptr, nullptr, {}};
  g_dbus_connection_register_object(connection, "/org/freedesktop/Notifications", node->interfaces[0], &vtable, nullptr,
                                    nullptr, nullptr);
  // Owned only after the object is there, so that a test that sees the name can call at once.
  g_bus_own_name_on_connection(connection, "org.freedesktop.Notifications", G_BUS_NAME_OWNER_FLAGS_NONE, nullptr,
                               nullptr, nullptr, nullptr);
  GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
  g_main_loop_run(loop);
  return 0;
}
