// The port-map update document that kelnorset applies before it connects: the DM ports of the
// modems it is for, which the built-in port map does not know. kav applies it too, so that
// it shows the ports the way kelnorset sees them. One line, no declaration, no white space
// between elements.
#pragma once

namespace kav::tool {

inline constexpr char kKelnorsetPortMapDocument[] =
    "<UmtsKavConfig>"
    "<Modem><Name>ZQTL Vorla</Name>"
    "<PortId PortType=\"PT_DM\">USB\\VID_5C8E&amp;PID_A7E2&amp;MI_01</PortId></Modem>"
    "<Modem><Name>ZQTL Vorla</Name>"
    "<PortId PortType=\"PT_DM\">USB\\VID_5C8E&amp;PID_A7E3&amp;MI_01</PortId></Modem>"
    "<Modem><Name>ZQTL Halvern</Name>"
    "<PortId PortType=\"PT_DM\">USB\\VID_3E94&amp;PID_D41B&amp;MI_01</PortId></Modem>"
    "</UmtsKavConfig>";

}  // namespace kav::tool
