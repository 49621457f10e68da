// A StatusNotifierWatcher for tests, on every system alike: owns org.kde.StatusNotifierWatcher on the session bus of
// DBUS_SESSION_BUS_ADDRESS and keeps the registered indicators as "<bus name><object path>", dropping one when its
// bus name goes away. It tells indicators that a host is there, as the tests read and click them like one. It runs
// until it is ended.
#include <gio/gio.h>

#include <map>
#include <string>

namespace {

constexpr const char* kInterface = "org.kde.StatusNotifierWatcher";
constexpr const char* kPath = "/StatusNotifierWatcher";

const char* kIntrospection =
    "<node><interface name='org.kde.StatusNotifierWatcher'>"
    "<method name='RegisterStatusNotifierItem'><arg type='s' direction='in'/></method>"
    "<method name='RegisterStatusNotifierHost'><arg type='s' direction='in'/></method>"
    "<property name='RegisteredStatusNotifierItems' type='as' access='read'/>"
    "<property name='IsStatusNotifierHostRegistered' type='b' access='read'/>"
    "<property name='ProtocolVersion' type='i' access='read'/>"
    "<signal name='StatusNotifierItemRegistered'><arg type='s'/></signal>"
    "<signal name='StatusNotifierItemUnregistered'><arg type='s'/></signal>"
    "<signal name='StatusNotifierHostRegistered'/>"
    "</interface></node>";

GDBusConnection* bus = nullptr;
std::map<std::string, guint> items;  // the item's entry, and the watch on its bus name

void emit(const char* signal, const std::string& entry) {
  g_dbus_connection_emit_signal(bus, nullptr, kPath, kInterface, signal, g_variant_new("(s)", entry.c_str()), nullptr);
}

void onNameVanished(GDBusConnection*, const gchar* name, gpointer) {
  const std::string prefix = std::string(name) + "/";
  for (auto it = items.begin(); it != items.end();) {
    if (it->first.rfind(prefix, 0) != 0) {
      ++it;
      continue;
    }
    g_bus_unwatch_name(it->second);
    emit("StatusNotifierItemUnregistered", it->first);
    it = items.erase(it);
  }
}

void onCall(GDBusConnection*, const gchar* sender, const gchar*, const gchar*, const gchar* method,
            GVariant* parameters, GDBusMethodInvocation* invocation, gpointer) {
  if (std::string(method) == "RegisterStatusNotifierItem") {
    const gchar* service = nullptr;
    g_variant_get(parameters, "(&s)", &service);
    // Indicators name either their object path (on the caller's connection) or a bus name (at the usual path).
    const std::string owner = service[0] == '/' ? sender : service;
    const std::string entry = owner + (service[0] == '/' ? service : "/StatusNotifierItem");
    if (items.count(entry) == 0) {
      items[entry] = g_bus_watch_name_on_connection(bus, owner.c_str(), G_BUS_NAME_WATCHER_FLAGS_NONE, nullptr,
                                                    onNameVanished, nullptr, nullptr);
      emit("StatusNotifierItemRegistered", entry);
    }
  }
  g_dbus_method_invocation_return_value(invocation, nullptr);
}

GVariant* onGet(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* property, GError**,
                gpointer) {
  const std::string name = property;
  if (name == "IsStatusNotifierHostRegistered") return g_variant_new_boolean(TRUE);
  if (name == "ProtocolVersion") return g_variant_new_int32(0);
  GVariantBuilder entries;
  g_variant_builder_init(&entries, G_VARIANT_TYPE("as"));
  for (const auto& item : items) g_variant_builder_add(&entries, "s", item.first.c_str());
  return g_variant_builder_end(&entries);
}

}  // namespace

int main() {
  bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
  if (bus == nullptr) return 1;
  GDBusNodeInfo* node = g_dbus_node_info_new_for_xml(kIntrospection, nullptr);
  const GDBusInterfaceVTable vtable = {onCall, onGet, nullptr, {}};
  g_dbus_connection_register_object(bus, kPath, node->interfaces[0], &vtable, nullptr, nullptr, nullptr);
  // Owned only after the object is there, so that an indicator that sees the name can register at once.
  g_bus_own_name_on_connection(bus, kInterface, G_BUS_NAME_OWNER_FLAGS_NONE, nullptr, nullptr, nullptr, nullptr);
  GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
  g_main_loop_run(loop);
  return 0;
}
