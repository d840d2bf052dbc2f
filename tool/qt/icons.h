// The transport buttons' 16 x 16 pictures, drawn in code.
#pragma once

#include <QIcon>

QIcon GlobeIcon();      // the network
QIcon ConnectorIcon();  // the serial line: a 9-pin connector with its cable
