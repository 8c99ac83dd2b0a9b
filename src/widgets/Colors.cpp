#include "widgets/Colors.h"

#include <QPalette>

namespace {

// Which palette entry stands for each Windows system colour. The 3-D entries follow Qt's own
// reading of the Windows look: Light is the button highlight, Midlight the 3-D light, Dark the
// button shadow and Shadow the dark shadow.
bool RoleOf(unsigned index, QPalette::ColorGroup& group, QPalette::ColorRole& role)
{
    group = QPalette::Active;
    switch (index) {
    case 0: role = QPalette::Mid; return true;                 // scroll bar
    case 1: role = QPalette::Window; return true;              // desktop background
    case 2: role = QPalette::Highlight; return true;           // active caption
    case 3: role = QPalette::Mid; return true;                 // inactive caption
    case 4: role = QPalette::Window; return true;              // menu
    case 5: role = QPalette::Base; return true;                // window
    case 6: role = QPalette::Shadow; return true;              // window frame
    case 7: role = QPalette::WindowText; return true;          // menu text
    case 8: role = QPalette::Text; return true;                // window text
    case 9: role = QPalette::HighlightedText; return true;     // caption text
    case 10: role = QPalette::Button; return true;             // active border
    case 11: role = QPalette::Button; return true;             // inactive border
    case 12: role = QPalette::Mid; return true;                // application workspace
    case 13: role = QPalette::Highlight; return true;
    case 14: role = QPalette::HighlightedText; return true;
    case 15: role = QPalette::Button; return true;             // button face
    case 16: role = QPalette::Dark; return true;               // button shadow
    case 17: group = QPalette::Disabled; role = QPalette::Text; return true;  // gray text
    case 18: role = QPalette::ButtonText; return true;
    case 19: role = QPalette::Window; return true;             // inactive caption text
    case 20: role = QPalette::Light; return true;              // button highlight
    case 21: role = QPalette::Shadow; return true;             // 3-D dark shadow
    case 22: role = QPalette::Midlight; return true;           // 3-D light
    case 23: role = QPalette::ToolTipText; return true;
    case 24: role = QPalette::ToolTipBase; return true;
    default: return false;
    }
}

}  // namespace

TColor ColorToRGB(TColor c, const QPalette& palette)
{
    if (!IsSystemColor(c))
        return c & 0x00FFFFFFu;
    QPalette::ColorGroup group;
    QPalette::ColorRole role;
    if (!RoleOf(c & 0xFFu, group, role) || (c & 0x7FFFFF00u) != 0)
        return clBlack;
    return FromQRgb(palette.color(group, role).rgb());
}
