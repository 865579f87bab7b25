// Headless back end: panels loaded from the layout file, and what tests ask of them.
#include "runtime/headless/internal.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>

namespace korven::rt::headless {

using namespace detail;

namespace {

// Error codes of the user-interface calls.
constexpr int kUiFailed = -1;
constexpr int kUiFileNotFound = -12;
constexpr int kUiNoRegistry = -13;
constexpr int kUiResourceNotFound = -14;

// Follows the chain of containers; `test` says whether one link blocks.
template <class Test> bool AnyInChain(const PanelState& p, int control, Test test) {
    int id = control;
    for (int depth = 0; depth < 64 && id != 0; ++depth) {
        auto it = p.controls.find(id);
        if (it == p.controls.end()) {
            return false;
        }
        if (test(it->second)) {
            return true;
        }
        id = it->second.parentId;
    }
    return false;
}
} // namespace

// ---- Panels ---------------------------------------------------------------------

int HeadlessBackend::loadPanel(int parentPanel, const std::string& fileName, int resourceId) {
    auto failing = std::find(failResources_.begin(), failResources_.end(), resourceId);
    if (failing != failResources_.end()) {
        failResources_.erase(failing);
        return kUiFailed;
    }
    if (parentPanel != 0 && panel(parentPanel) == nullptr) {
        return kUiBadPanel;
    }
    const LayoutRegistry* reg = CurrentLayoutRegistry();
    if (reg == nullptr) {
        return kUiNoRegistry;
    }
    std::filesystem::path path(fileName);
    if (!path.is_absolute()) {
        path = std::filesystem::path(options_.projectDir) / path;
    }
    const std::string key = path.lexically_normal().string();
    std::shared_ptr<const Layout> layout;
    auto cached = impl_->layouts.find(key);
    if (cached != impl_->layouts.end()) {
        layout = cached->second;
    } else {
        std::string error;
        std::optional<Layout> read = ReadLayoutFile(key, &error);
        if (!read) {
            std::fprintf(stderr, "LoadPanel: %s\n", error.c_str());
            return kUiFileNotFound;
        }
        layout = std::make_shared<const Layout>(std::move(*read));
        impl_->layouts[key] = layout;
    }
    const LayoutPanel* lp = layout->panel(resourceId);
    if (lp == nullptr) {
        return kUiResourceNotFound;
    }

    PanelState ps;
    ps.handle = impl_->nextPanel++;
    ps.resourceId = resourceId;
    ps.name = lp->name;
    ps.title = lp->title;
    ps.visible = false;
    if (!lp->callbackName.empty() && reg->panelCallback != nullptr) {
        ps.callback = reg->panelCallback(lp->callbackName);
        if (ps.callback == nullptr) {
            std::fprintf(stderr, "LoadPanel: panel %s names unknown callback %s\n",
                         lp->name.c_str(), lp->callbackName.c_str());
        }
    }
    for (const LayoutControl& lc : lp->controls) {
        ControlState c;
        c.id = lc.id;
        c.parentId = lc.parentId;
        c.name = lc.name;
        c.kind = lc.kind;
        c.valueType = lc.valueType;
        c.hasRange = lc.hasRange;
        c.minimum = lc.minimum;
        c.maximum = lc.maximum;
        c.dimmed = lc.dimmed;
        c.visible = lc.visible;
        c.label = lc.label;
        c.onText = lc.onText;
        c.offText = lc.offText;
        c.items = lc.items;
        c.valueOffset = lc.valueOffset;
        c.geometry = lc.geometry;
        c.readOnly = lc.readOnly;
        StoreValue(c, lc.initial);
        if (!lc.callbackName.empty() && reg->ctrlCallback != nullptr) {
            c.callback = reg->ctrlCallback(lc.callbackName);
            if (c.callback == nullptr) {
                std::fprintf(stderr, "LoadPanel: control %s names unknown callback %s\n",
                             lc.name.c_str(), lc.callbackName.c_str());
            }
        }
        ps.controls[c.id] = std::move(c);
    }
    const int handle = ps.handle;
    impl_->panels[handle] = std::move(ps);
    return handle;
}

int HeadlessBackend::displayPanel(int handle) {
    PanelState* p = panel(handle);
    if (p == nullptr) {
        return kUiBadPanel;
    }
    p->visible = true;
    return 0;
}

int HeadlessBackend::hidePanel(int handle) {
    PanelState* p = panel(handle);
    if (p == nullptr) {
        return kUiBadPanel;
    }
    p->visible = false;
    return 0;
}

int HeadlessBackend::discardPanel(int handle) {
    return impl_->panels.erase(handle) == 1 ? 0 : kUiBadPanel;
}

PanelState* HeadlessBackend::panel(int handle) {
    auto it = impl_->panels.find(handle);
    return it == impl_->panels.end() ? nullptr : &it->second;
}

int HeadlessBackend::panelHandle(int resourceId) const {
    for (const auto& [handle, p] : impl_->panels) {
        if (p.resourceId == resourceId) {
            return handle;
        }
    }
    return -1;
}

bool HeadlessBackend::panelVisible(int handle) const {
    auto it = impl_->panels.find(handle);
    return it != impl_->panels.end() && it->second.visible;
}

bool HeadlessBackend::hasControl(int handle, int control) const {
    auto it = impl_->panels.find(handle);
    return it != impl_->panels.end() && it->second.controls.count(control) == 1;
}

ControlState& HeadlessBackend::ctrl(int handle, int control) {
    PanelState* p = panel(handle);
    if (p != nullptr) {
        auto it = p->controls.find(control);
        if (it != p->controls.end()) {
            return it->second;
        }
    }
    std::fprintf(stderr, "headless: no control %d on panel %d\n", control, handle);
    std::abort();
}

bool HeadlessBackend::isDimmed(int handle, int control) const {
    auto it = impl_->panels.find(handle);
    if (it == impl_->panels.end()) {
        return false;
    }
    return AnyInChain(it->second, control, [](const ControlState& c) { return c.dimmed; });
}

bool HeadlessBackend::isVisible(int handle, int control) const {
    auto it = impl_->panels.find(handle);
    if (it == impl_->panels.end() || it->second.controls.count(control) == 0) {
        return false;
    }
    return !AnyInChain(it->second, control, [](const ControlState& c) { return !c.visible; });
}

std::string HeadlessBackend::text(int handle, int control) const {
    auto& self = const_cast<HeadlessBackend&>(*this);
    return self.ctrl(handle, control).value.asText();
}

std::int64_t HeadlessBackend::intValue(int handle, int control) const {
    auto& self = const_cast<HeadlessBackend&>(*this);
    return self.ctrl(handle, control).value.asInt();
}

double HeadlessBackend::doubleValue(int handle, int control) const {
    auto& self = const_cast<HeadlessBackend&>(*this);
    return self.ctrl(handle, control).value.asDouble();
}

std::vector<const ControlState*> HeadlessBackend::runtimeControls(int handle) const {
    std::vector<const ControlState*> out;
    auto it = impl_->panels.find(handle);
    if (it == impl_->panels.end()) {
        return out;
    }
    for (const auto& [id, c] : it->second.controls) {
        if (c.createdAtRunTime) {
            out.push_back(&c);
        }
    }
    std::sort(out.begin(), out.end(), [](const ControlState* a, const ControlState* b) {
        return a->createOrder < b->createOrder;
    });
    return out;
}

} // namespace korven::rt::headless
