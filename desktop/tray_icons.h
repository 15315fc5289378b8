#pragma once

#include "app/desktop.h"

#include <QIcon>

/// The status item's picture for `symbol`, drawn at whatever size and density the tray asks for, so that
/// it stays sharp on any panel. The three differ in shape as well as in colour (a check mark in a disc, an
/// exclamation mark in a disc, a crossed-out ring) and each mark is set off from its disc by a transparent
/// margin, so that they tell apart for colour-blind users and where a tray draws only their outlines.
QIcon trayIcon(TraySymbol symbol);
