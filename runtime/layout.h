// The panel layout file: a Qt Designer form (".ui" XML) that the
// maintainers edit in Designer and both back ends read.
//
// Format:
//  - The top-level widget is a plain container. Each of its direct children
//    whose object name is a panel name known to the layout registry is one
//    panel resource (for this program: "PANEL" = resource 1, "POPUP" =
//    resource 2). The panel's windowTitle is its title, its geometry its
//    size; a dynamic string property "callback" names the panel callback.
//  - Every widget below a panel whose object name is a control constant
//    known to the registry (e.g. "PANEL_STATUS") is a control with that id.
//    Other widgets (labels, layouts, spacers) are decoration.
//  - Control kinds come from the widget class:
//      QPushButton            command button; checkable="true" makes it a
//                             toggle button (int 0/1), with dynamic string
//                             properties "onText"/"offText" for its states
//      QRadioButton,QCheckBox int 0/1 ("checked")
//      QSpinBox               numeric, "minimum"/"maximum"/"value"; readOnly
//                             makes it an indicator
//      QDoubleSpinBox         numeric with a double or float value
//      QComboBox              ring; its value is the item index plus the
//                             dynamic int property "valueOffset" (default 0)
//      QLabel                 text message (value = "text"); with dynamic
//                             bool property "picture" it is a picture control
//      QPlainTextEdit         text box; value = its text, one line per line
//      QFrame, QGroupBox      container or decoration; dimming or hiding a
//                             container applies to everything inside it
//      QCustomPlot            graph; dynamic bool property "stripChart"
//                             makes it a strip chart; "xLabel"/"yLabel" name
//                             its axes and "traceNames" (';' between) its
//                             traces, for the screen and the data export
//  - Dynamic string property "resetsView" on a button names a graph that
//    the button hands back to the program's scaling when pressed.
//  - Dynamic string property "dataType" overrides the value type:
//    "u16", "int", "u32", "double", "float", "string".
//  - Dynamic string property "callback" names the control callback.
//  - Standard "enabled"=false means the control starts dimmed, "visible"
//    false means it starts hidden. "label" (dynamic string) is the
//    control's label text; for buttons it defaults to "text".
//  - Dynamic string property "stretch" says how a widget (a control or a
//    decoration) follows its parent when that grows beyond its designed
//    size: "x=F y=F w=F h=F", each part optional, F from 0 to 1. Of the
//    width its parent gained, the widget moves right by x·gain and grows
//    by w·gain; y and h do the same for the height. The parent is the panel
//    or the widget's container, which then has to stretch itself. A panel
//    never shrinks its controls below their designed places: a window
//    smaller than the panel scrolls instead.
#pragma once

#include "runtime/backend.h"

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korven::rt {

// What the program tells the runtime about its layout: the names of panels,
// controls and callbacks. Installed once before any panel is loaded.
struct LayoutRegistry {
    int (*panelResource)(std::string_view name);            // -1 if unknown
    int (*controlId)(std::string_view name);                // -1 if unknown
    CtrlCallbackPtr (*ctrlCallback)(std::string_view name); // nullptr if unknown
    PanelCallbackPtr (*panelCallback)(std::string_view name);
};

void SetLayoutRegistry(const LayoutRegistry* registry);
const LayoutRegistry* CurrentLayoutRegistry();

enum class CtrlKind {
    Command,   // push button
    Toggle,    // checkable push button, int 0/1, state texts
    Radio,     // int 0/1
    Check,     // int 0/1
    Numeric,   // spin box (entry, or indicator when read-only)
    Ring,      // combo box
    TextMsg,   // label
    Picture,   // label showing an image
    TextBox,   // multi-line text
    Container, // frame / group box
    Graph,     // graph with plots and three cursors
    StripChart // strip chart
};

enum class ValueType { None, U16, Int, U32, Double, Float, String };

struct Rect {
    int x = 0, y = 0, width = 0, height = 0;
};

// The form as the file holds it: an element tree, read whole (the form is
// small). The panels of a Layout point into it, so that a back end that
// builds real widgets reads the same file the same way as one that keeps
// controls in memory.
struct FormNode {
    std::string tag;
    std::map<std::string, std::string> attrs;
    std::string text;
    std::vector<std::unique_ptr<FormNode>> children;

    std::string attr(const std::string& key) const;
    const FormNode* child(const std::string& name) const;
};

// How a widget follows its parent's growth (the "stretch" property).
struct Stretch {
    double x = 0.0, y = 0.0, w = 0.0, h = 0.0;
    bool grows() const { return w > 0.0 || h > 0.0; }
};

// Reads a "stretch" text; nullopt when it is not of the form above.
std::optional<Stretch> ParseStretch(std::string_view text);

// Every widget below a panel's form element with its place when the panel
// is width × height (sizes below the designed ones count as the designed
// ones), in document order, parents before their children. `inParent` is
// relative to the parent widget, `inPanel` to the panel.
struct Placement {
    const FormNode* widget = nullptr;
    std::string name;
    Rect inParent;
    Rect inPanel;
    bool stretches = false; // it has a "stretch" property
};
std::vector<Placement> ArrangeForm(const FormNode& panel, int width, int height);

struct LayoutControl {
    std::string name;    // constant name, e.g. "PANEL_STATUS"
    int id = 0;          // from the registry
    int parentId = 0;    // enclosing container control, 0 = the panel itself
    std::string qtClass; // widget class in the file
    CtrlKind kind = CtrlKind::Container;
    ValueType valueType = ValueType::None;
    Rect geometry; // relative to the panel
    Value initial; // initial value in the control's own type
    bool hasRange = false;
    double minimum = 0.0;
    double maximum = 0.0;
    int decimals = 0;
    bool readOnly = false;
    bool dimmed = false;
    bool visible = true;
    std::string label;
    std::string onText, offText;
    std::vector<std::string> items; // ring items
    int valueOffset = 0;            // ring value of item 0
    std::string callbackName;
};

struct LayoutPanel {
    std::string name; // e.g. "PANEL"
    int resourceId = 0;
    std::string title;
    Rect geometry;
    std::string callbackName;
    bool resizable = false;              // some widget of it grows with it
    std::vector<LayoutControl> controls; // in document order
    const FormNode* form = nullptr;      // the panel's <widget> element, in Layout::tree
};

struct Layout {
    std::vector<LayoutPanel> panels;
    std::shared_ptr<const FormNode> tree; // the whole file, shared by copies
    const LayoutPanel* panel(int resourceId) const;
};

// The range a value of the type can hold (the full double range for
// non-numeric types).
void TypeLimits(ValueType t, double& lo, double& hi);

// Reads the layout file. Returns nullopt (with a reason in *error) when the
// file is missing or not a well-formed layout.
std::optional<Layout> ReadLayoutFile(const std::string& path, std::string* error = nullptr);
std::optional<Layout> ParseLayout(std::string_view xml, std::string* error = nullptr);

} // namespace korven::rt
