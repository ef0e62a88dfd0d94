#pragma once

class QWidget;

namespace velmora {

// Makes a fresh About window, fills its texts, runs it modally over pOwner and
// discards it.
void RunAboutBox(QWidget* pOwner);

} // namespace velmora
