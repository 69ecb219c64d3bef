#include "support/nautilus_host.h"

#include <gio/gio.h>
#include <gmodule.h>
#include <gtest/gtest.h>
extern "C" {
#include <nautilus-extension.h>
}

namespace tessela::testing {

namespace {

// A selected file as GNOME Files hands it over: only its location matters to the module. An
// empty path stands for a file without a local path (a remote location).
struct FakeFileInfo {
    GObject parent;
    std::string* path;
};
struct FakeFileInfoClass {
    GObjectClass parent;
};

GFile* fakeLocation(NautilusFileInfo* info) {
    const std::string& path = *reinterpret_cast<FakeFileInfo*>(info)->path;
    return path.empty() ? g_file_new_for_uri("sftp://server/Report.pdf")
                        : g_file_new_for_path(path.c_str());
}

void fakeFinalize(GObject* object) {
    delete reinterpret_cast<FakeFileInfo*>(object)->path;
    G_OBJECT_CLASS(g_type_class_peek(G_TYPE_OBJECT))->finalize(object);
}

GType fakeFileInfoType() {
    static const GType type = [] {
        const GType registered = g_type_register_static_simple(
            G_TYPE_OBJECT, "TesselaTestFileInfo", sizeof(FakeFileInfoClass),
            [](gpointer typeClass, gpointer) {
                G_OBJECT_CLASS(typeClass)->finalize = fakeFinalize;
            },
            sizeof(FakeFileInfo),
            [](GTypeInstance* instance, gpointer) {
                reinterpret_cast<FakeFileInfo*>(instance)->path = new std::string;
            },
            GTypeFlags(0));
        static const GInterfaceInfo fileInfo = {
            [](gpointer interface, gpointer) {
                static_cast<NautilusFileInfoInterface*>(interface)->get_location = fakeLocation;
            },
            nullptr, nullptr};
        g_type_add_interface_static(registered, NAUTILUS_TYPE_FILE_INFO, &fileInfo);
        return registered;
    }();
    return type;
}

// The module's entry points, and a type module whose loading runs its initialiser, as GNOME
// Files' own does.
using Initialize = void (*)(GTypeModule*);
using ListTypes = void (*)(const GType**, int*);
Initialize initializeModule = nullptr;

struct LoaderModule {
    GTypeModule parent;
};
struct LoaderModuleClass {
    GTypeModuleClass parent;
};

GType loaderModuleType() {
    static const GType type = g_type_register_static_simple(
        G_TYPE_TYPE_MODULE, "TesselaTestLoader", sizeof(LoaderModuleClass),
        [](gpointer typeClass, gpointer) {
            auto* moduleClass = G_TYPE_MODULE_CLASS(typeClass);
            moduleClass->load = [](GTypeModule* module) -> gboolean {
                initializeModule(module);
                return TRUE;
            };
            moduleClass->unload = [](GTypeModule*) {};
        },
        sizeof(LoaderModule), nullptr, GTypeFlags(0));
    return type;
}

GType providerTypeOf(const char* path) {
    GModule* module = g_module_open(path, G_MODULE_BIND_LAZY);
    if (module == nullptr) {
        ADD_FAILURE() << g_module_error();
        return G_TYPE_INVALID;
    }
    gpointer initialize = nullptr;
    gpointer listTypes = nullptr;
    EXPECT_TRUE(g_module_symbol(module, "nautilus_module_initialize", &initialize));
    EXPECT_TRUE(g_module_symbol(module, "nautilus_module_list_types", &listTypes));
    initializeModule = reinterpret_cast<Initialize>(initialize);
    auto* loader = G_TYPE_MODULE(g_object_new(loaderModuleType(), nullptr));
    EXPECT_TRUE(g_type_module_use(loader));
    const GType* types = nullptr;
    int count = 0;
    reinterpret_cast<ListTypes>(listTypes)(&types, &count);
    EXPECT_EQ(count, 1);
    return count == 1 ? types[0] : G_TYPE_INVALID;
}

}  // namespace

GType loadNautilusModule(const char* path) {
    static const GType type = providerTypeOf(path);
    return type;
}

GObject* newFakeFileInfo(const std::string& path) {
    auto* file = static_cast<FakeFileInfo*>(g_object_new(fakeFileInfoType(), nullptr));
    *file->path = path;
    return G_OBJECT(file);
}

void setFakeFileInfoPath(gpointer info, const std::string& path) {
    *static_cast<FakeFileInfo*>(info)->path = path;
}

}  // namespace tessela::testing
