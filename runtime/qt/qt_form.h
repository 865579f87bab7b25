// Widgets from the layout file's element tree: the classes and properties
// Designer writes for this program's forms, without Qt's form loader (which
// is not available everywhere the program is built).
#pragma once

#include "runtime/layout.h"

#include <QWidget>

#include <memory>
#include <string>

namespace korven::rt::qt {

// Builds the widget of a <widget> element with everything below it; the
// result has no parent. Properties the class does not declare become
// dynamic properties, as Designer's stdset="0" ones are meant. Returns null
// with the reason in *error for an unknown widget class or a malformed
// property.
std::unique_ptr<QWidget> BuildForm(const FormNode& widget, std::string* error = nullptr);

} // namespace korven::rt::qt
