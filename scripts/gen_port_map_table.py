#!/usr/bin/env python3
"""Writes lib/discovery/port_map_table.cc, the built-in list of recognised modem interfaces.

Each product is one vendor/product id (optionally one revision of it) with its interfaces.
Third-party Qualcomm-based modems use their published USB ids and interface layouts; the rest
are the maker's own products. The script checks the make-up of the table before writing it:
    python3 scripts/gen_port_map_table.py > lib/discovery/port_map_table.cc &&
    clang-format -i lib/discovery/port_map_table.cc
"""
import sys

AT, DM, AP, HID, RNDIS = "PT_AT", "PT_DM", "PT_AP", "PT_HID", "PT_RNDIS"

# Interface layouts: (interface number, port type).
L_STD = [(0, DM), (1, AP), (2, AT)]          # DIAG, NMEA/application, modem
L_GOBI = [(0, DM), (2, AP), (3, AT)]         # Gobi 2000: DIAG, NMEA, modem (1 is QMI)
L_SIERRA = [(0, DM), (2, AP), (3, AT)]
L_HUAWEI = [(0, AT), (1, DM), (2, AP)]       # Huawei: modem, DIAG, PC UI
L_ZTE = [(0, DM), (1, AP), (3, AT)]          # ZTE: DIAG, NMEA, (2 storage), modem
L_TWO = [(0, DM), (1, AT)]
L_GOBI1K = [(0, DM), (1, AT)]

products = []  # (enumerator, vid, pid, rev, name, layout)


def add(vid, pid, name, layout, rev=None, enum="USB"):
    products.append((enum, vid, pid, rev, name, layout))


# --- Third-party Qualcomm-based modems -----------------------------------------------------
add("05C6", "6000", "Qualcomm HSUPA Reference Data Card", L_STD)
add("05C6", "6613", "Qualcomm HSDPA Reference Data Card (Onda H600)", L_STD)
add("05C6", "9001", "Qualcomm Gobi Modem", L_GOBI1K)
add("05C6", "9002", "Qualcomm Gobi Modem", L_GOBI1K)
add("05C6", "9205", "Qualcomm Gobi 2000 Modem", L_GOBI)
add("03F0", "1F1D", "HP un2400 Gobi Wireless Modem", L_GOBI1K)
add("413C", "8114", "Dell Wireless 5700 Mobile Broadband CDMA/EVDO Mini-Card", L_STD)
add("413C", "8117", "Dell Wireless 5700 Mobile Broadband CDMA/EVDO ExpressCard", L_STD)
add("413C", "8128", "Dell Wireless 5700 Mobile Broadband CDMA/EVDO Mini-Card", L_STD)
add("413C", "8129", "Dell Wireless 5700 Mobile Broadband CDMA/EVDO Mini-Card", L_STD)
add("413C", "8133", "Dell Wireless 5720 Mobile Broadband EVDO Rev-A Mini-Card", L_STD)
add("413C", "8134", "Dell Wireless 5720 Mobile Broadband EVDO Rev-A Mini-Card", L_STD)
add("413C", "8135", "Dell Wireless 5720 Mobile Broadband EVDO Rev-A Mini-Card", L_STD)
add("413C", "8180", "Dell Wireless 5730 Mobile Broadband EVDO/HSPA Mini-Card", L_STD)
add("413C", "8181", "Dell Wireless 5730 Mobile Broadband EVDO/HSPA Mini-Card", L_STD)
add("1410", "1100", "Novatel Merlin XS620/S640", L_TWO)
add("1410", "1120", "Novatel Merlin EX720", L_TWO)
add("1410", "1400", "Novatel Merlin U730", L_TWO)
add("1410", "1410", "Novatel Merlin U740", L_TWO)
add("1410", "4100", "Novatel Ovation U727", L_STD)
add("1410", "6000", "Novatel Ovation U760", L_STD)
add("12D1", "1003", "Huawei E220 HSDPA USB Modem", L_HUAWEI)
add("12D1", "1406", "Huawei E1750 HSPA USB Modem", L_HUAWEI)
add("12D1", "140C", "Huawei E180 HSPA USB Modem", L_HUAWEI)
add("12D1", "1436", "Huawei E173 HSPA USB Modem", L_HUAWEI)
add("19D2", "0001", "ZTE MF620 HSDPA USB Modem", L_ZTE)
add("19D2", "0002", "ZTE MF632/ET502 HSDPA USB Modem", L_ZTE)
add("19D2", "0031", "ZTE MF636 HSUPA USB Modem", L_ZTE)
add("19D2", "0117", "ZTE MF190 HSPA USB Modem", L_ZTE)
add("19D2", "FFFE", "ZTE AC8710 CDMA/EVDO USB Modem", L_TWO)
add("1199", "6812", "Sierra Wireless MC8775 Mini-Card", L_SIERRA)
add("1199", "6832", "Sierra Wireless MC8780 Mini-Card", L_SIERRA)
add("1199", "683C", "Sierra Wireless MC8790 Mini-Card", L_SIERRA)
add("1199", "0018", "Sierra Wireless MC5720 Mini-Card", L_TWO)
add("1199", "0024", "Sierra Wireless MC5727 Mini-Card", L_TWO)
add("1199", "0019", "Sierra Wireless AirCard 595", L_TWO)
add("0C88", "17DA", "Kyocera KPC650 CDMA/EVDO PC Card", L_TWO)
add("16D5", "6501", "AnyDATA ADU-E100 CDMA/EVDO USB Modem", L_TWO)
add("1BBB", "0000", "Alcatel X060S HSDPA USB Modem", L_STD)
add("1A8D", "1002", "BandRich C-100/C-120 HSDPA USB Modem", L_STD)

THIRD_PARTY = len(products)

# --- The maker's own products (ZQTL, vendor ids 5C8E and 3E94) ------------------------------
# Model texts match the model family table, so a port's family follows from its name.
sticks = [
    ("5C8E", "A101", "ZQTL U100 HSDPA USB Modem"),
    ("5C8E", "A102", "ZQTL U120 HSDPA USB Modem"),
    ("5C8E", "A110", "ZQTL PC140 HSDPA PC Card"),
    ("5C8E", "A111", "ZQTL XC180 HSDPA ExpressCard"),
    ("5C8E", "A112", "ZQTL MC110 HSDPA Mini-Card"),
    ("5C8E", "A120", "ZQTL U210 HSUPA USB Modem"),
    ("5C8E", "A121", "ZQTL XC230 HSUPA ExpressCard"),
    ("5C8E", "A130", "ZQTL U250 HSUPA USB Modem"),
    ("5C8E", "A131", "ZQTL MC270 HSUPA Mini-Card"),
    ("5C8E", "A140", "ZQTL U300 HSPA USB Modem"),
    ("5C8E", "A141", "ZQTL U320 HSPA USB Modem"),
    ("5C8E", "A142", "ZQTL MC330 HSPA Mini-Card"),
    ("5C8E", "A143", "ZQTL XC340 HSPA ExpressCard"),
    ("5C8E", "A150", "ZQTL U370 HSPA+ USB Modem"),
    ("5C8E", "A151", "ZQTL U370 HSPA+ USB Modem"),
    ("5C8E", "A152", "ZQTL MC390 HSPA+ Mini-Card"),
    ("5C8E", "A153", "ZQTL XC400 HSPA+ ExpressCard"),
    ("5C8E", "A160", "ZQTL U430 CDMA/EVDO USB Modem"),
    ("5C8E", "A161", "ZQTL U440 CDMA/EVDO USB Modem"),
    ("5C8E", "A162", "ZQTL MC450 CDMA/EVDO Mini-Card"),
    ("5C8E", "A170", "ZQTL U500 EVDO Rev-A USB Modem"),
    ("5C8E", "A171", "ZQTL U510 EVDO Rev-A USB Modem"),
    ("5C8E", "A172", "ZQTL MC520 EVDO Rev-A Mini-Card"),
    ("5C8E", "A173", "ZQTL XC530 EVDO Rev-A ExpressCard"),
    ("5C8E", "A180", "ZQTL U600 HSPA+ USB Modem"),
    ("5C8E", "A181", "ZQTL MC610 HSPA+ Mini-Card"),
    ("5C8E", "A190", "ZQTL U640 Dual-Carrier HSPA+ USB Modem"),
    ("5C8E", "A191", "ZQTL U650 Dual-Carrier HSPA+ USB Modem"),
    ("5C8E", "A192", "ZQTL MC660 Dual-Carrier HSPA+ Mini-Card"),
    ("5C8E", "A1A0", "ZQTL U700 LTE USB Modem"),
    ("5C8E", "A1A1", "ZQTL U700 LTE USB Modem"),
    ("5C8E", "A1A2", "ZQTL MC720 LTE Mini-Card"),
    ("5C8E", "A1B0", "ZQTL U800 LTE/EVDO USB Modem"),
    ("5C8E", "A1B1", "ZQTL U800 LTE/EVDO USB Modem"),
    ("3E94", "D401", "ZQTL U900 LTE Advanced USB Modem"),
    ("3E94", "D402", "ZQTL MC910 LTE Advanced Mini-Card"),
    # Carrier builds of the same product under a product id of their own.
    ("5C8E", "A103", "ZQTL U100 HSDPA USB Modem"),
    ("5C8E", "A144", "ZQTL U300 HSPA USB Modem"),
    ("5C8E", "A154", "ZQTL U370 HSPA+ USB Modem"),
    ("5C8E", "A163", "ZQTL U430 CDMA/EVDO USB Modem"),
    ("5C8E", "A174", "ZQTL U500 EVDO Rev-A USB Modem"),
    ("5C8E", "A182", "ZQTL U600 HSPA+ USB Modem"),
    ("5C8E", "A1A3", "ZQTL U700 LTE USB Modem"),
]
two_port = [
    ("5C8E", "A001", "ZQTL EM150 Embedded HSDPA Module"),
    ("5C8E", "A002", "ZQTL EM290 Embedded HSUPA Module"),
    ("5C8E", "A003", "ZQTL EM350 Embedded HSPA Module"),
    ("5C8E", "A004", "ZQTL EM410 Embedded HSPA+ Module"),
    ("5C8E", "A005", "ZQTL EM460 Embedded CDMA/EVDO Module"),
    ("5C8E", "A006", "ZQTL EM540 Embedded EVDO Rev-A Module"),
    ("5C8E", "A007", "ZQTL EM620 Embedded HSPA+ Module"),
    ("5C8E", "A008", "ZQTL EM730 Embedded LTE Module"),
    ("5C8E", "A009", "ZQTL EM730 Embedded LTE Module"),
]
for vid, pid, name in sticks:
    add(vid, pid, name, L_STD)
for vid, pid, name in two_port:
    add(vid, pid, name, L_TWO)

# Products built on one vendor/product id and told apart by their revision.
rev_products = [
    ("0000", "ZQTL U260 HSUPA USB Modem"),
    ("0001", "ZQTL U305 HSPA USB Modem"),
    ("0002", "ZQTL U375 HSPA+ USB Modem"),
    ("0003", "ZQTL U385 HSPA+ USB Modem"),
    ("0004", "ZQTL U435 CDMA/EVDO USB Modem"),
    ("0005", "ZQTL U445 CDMA/EVDO USB Modem"),
    ("0006", "ZQTL U505 EVDO Rev-A USB Modem"),
    ("0007", "ZQTL U515 EVDO Rev-A USB Modem"),
    ("0008", "ZQTL U605 HSPA+ USB Modem"),
    ("0009", "ZQTL U645 Dual-Carrier HSPA+ USB Modem"),
    ("0010", "ZQTL U705 LTE USB Modem"),
    ("0011", "ZQTL U715 LTE USB Modem"),
]
for rev, name in rev_products:
    add("5C8E", "A200", name, L_STD, rev=rev)
rev_cards = [
    ("0100", "ZQTL MC335 HSPA Mini-Card"),
    ("0101", "ZQTL MC395 HSPA+ Mini-Card"),
    ("0102", "ZQTL MC455 CDMA/EVDO Mini-Card"),
    ("0103", "ZQTL MC525 EVDO Rev-A Mini-Card"),
    ("0104", "ZQTL MC615 HSPA+ Mini-Card"),
    ("0105", "ZQTL MC665 Dual-Carrier HSPA+ Mini-Card"),
    ("0106", "ZQTL MC725 LTE Mini-Card"),
    ("0107", "ZQTL MC815 LTE/EVDO Mini-Card"),
    ("0108", "ZQTL XC345 HSPA ExpressCard"),
    ("0109", "ZQTL XC405 HSPA+ ExpressCard"),
    ("0110", "ZQTL XC535 EVDO Rev-A ExpressCard"),
]
for rev, name in rev_cards:
    add("5C8E", "A210", name, L_STD, rev=rev)
add("3E94", "D410", "ZQTL EM745 Embedded LTE Module", L_TWO, rev="0200")
add("3E94", "D410", "ZQTL EM920 Embedded LTE Advanced Module", L_TWO, rev="0201")

# Hotspots: modem interfaces plus a HID collection for the display and buttons.
hotspots = [
    ("5C8E", "B001", "ZQTL Zumi 2100 Mobile Hotspot", [(0, DM), (1, AP), (2, AT), (3, HID)]),
    ("5C8E", "B002", "ZQTL Zumi 2200 Mobile Hotspot", [(0, DM), (1, AP), (2, AT), (3, HID)]),
    ("5C8E", "B003", "ZQTL Zumi 3300 Mobile Hotspot", [(0, DM), (1, AP), (2, AT), (3, HID)]),
    ("5C8E", "B004", "ZQTL Zumi 3350 Mobile Hotspot", [(0, DM), (1, AP), (2, AT), (3, HID)]),
    ("5C8E", "B005", "ZQTL Zumi 4510 Intelligent Mobile Hotspot",
     [(0, DM), (1, AP), (2, AT), (3, HID)]),
    ("5C8E", "B006", "ZQTL Zumi 4620 Intelligent Mobile Hotspot",
     [(0, DM), (1, AP), (2, AT), (3, HID)]),
    ("3E94", "D420", "ZQTL Zumi 5510 LTE Mobile Hotspot", [(0, DM), (1, AP), (2, AT), (3, HID)]),
    ("3E94", "D421", "ZQTL Zumi 7351 LTE Mobile Hotspot (Tethered Diagnostics and Data over RNDIS)",
     [(0, RNDIS), (2, DM), (3, AP), (4, AT), (5, HID)]),
]
for vid, pid, name, layout in hotspots:
    add(vid, pid, name, layout)
hid_rows = []
for i, (vid, pid, name, layout) in enumerate(hotspots):
    mi = None
    if i == len(hotspots) - 1:
        mi = 5  # this one's HID collection is enumerated per interface
    hid_rows.append(("HID", vid, pid, None, name, [(mi, HID)]))
products.extend(hid_rows)

# Single-interface download devices; the Qualcomm emergency download device stays last.
products.append(("USB", "3E94", "D4FF", None, "ZQTL Boot Loader Download Device", [(None, DM)]))
products.append(("USB", "05C6", "9008", None, "QCOM Emergency Boot", [(None, DM)]))

rows = []
for enum, vid, pid, rev, name, layout in products:
    for mi, ptype in layout:
        ident = f"{enum}\\VID_{vid}&PID_{pid}"
        if rev is not None:
            ident += f"&REV_{rev}"
        if mi is not None:
            ident += f"&MI_{mi:02X}"
        reset = "None" if ptype in (HID, RNDIS) else "Both"
        rows.append((ident, name, ptype, reset))


def check(cond, what):
    if not cond:
        sys.exit(f"port map table check failed: {what}")


count = lambda pred: sum(1 for r in rows if pred(r))
check(len(rows) == 370, f"rows {len(rows)}")
check(count(lambda r: r[0].startswith("USB\\")) == 362, "USB rows")
check(count(lambda r: r[0].startswith("HID\\")) == 8, "HID rows")
check(count(lambda r: "&MI_" in r[0]) == 361, f"MI rows {count(lambda r: '&MI_' in r[0])}")
check(count(lambda r: "&MI_" in r[0] and "&REV_" in r[0]) == 73,
      f"REV rows {count(lambda r: '&REV_' in r[0])}")
check(count(lambda r: "&REV_" in r[0] and "&MI_" not in r[0]) == 0, "REV without MI")
check(count(lambda r: "&MI_" not in r[0] and r[0].startswith("USB")) == 2, "USB without MI")
for t, n in ((AT, 125), (DM, 127), (AP, 101), (HID, 16), (RNDIS, 1)):
    check(count(lambda r: r[2] == t) == n, f"{t} rows {count(lambda r: r[2] == t)}")
check(len({r[1] for r in rows}) == 110, f"names {len({r[1] for r in rows})}")
check(len({r[0] for r in rows}) == len(rows), "unique keys")
check(all(r[0] == r[0].upper() for r in rows), "upper case")
check(max(len(r[0]) for r in rows) == 36, "longest key")
check(max(len(r[1]) for r in rows) == 76, f"longest name {max(len(r[1]) for r in rows)}")
check(rows[-1] == ("USB\\VID_05C6&PID_9008", "QCOM Emergency Boot", DM, "Both"), "last row")
for doc_ident in ("USB\\VID_5C8E&PID_A7E2&MI_01", "USB\\VID_5C8E&PID_A7E3&MI_01",
                  "USB\\VID_3E94&PID_D41B&MI_01"):
    check(doc_ident not in {r[0] for r in rows}, f"{doc_ident} reserved for the update document")


# --- PCIe modems (Linux only) ---------------------------------------------------------------
# Qualcomm-based PCIe modems whose DM port is a wwan QCDM port: the ids of the kernel's MHI PCI
# driver (drivers/bus/mhi/host/pci_generic.c) whose channel map has DIAG. Subsystem ids are not
# part of the identifier, so products on Qualcomm's own ids (Sierra EM919x and Telit FN980 on
# 17CB:0306, Telit FN990 on 17CB:0308) carry the chipset's name. Cinterion MV31/MV32 and the
# first Telit FN980 hardware have no DIAG channel there and are left out. These rows are kept
# apart from the table above, whose make-up is fixed.
pci_products = [
    ("17CB", "0304", "Qualcomm SDX24 PCIe Modem"),
    ("17CB", "0306", "Qualcomm SDX55 PCIe Modem"),
    ("17CB", "0308", "Qualcomm SDX65 PCIe Modem"),
    ("1EAC", "1001", "Quectel EM120R-GL PCIe Modem"),
    ("1EAC", "1002", "Quectel EM160R-GL PCIe Modem"),
    ("1EAC", "2001", "Quectel EM120R-GL PCIe Modem (FCCL)"),
    ("105B", "E0AB", "Foxconn T99W175 PCIe Modem"),
    ("105B", "E0B0", "Dell DW5930e PCIe Modem (Foxconn T99W175)"),
    ("105B", "E0B1", "Dell DW5930e PCIe Modem (Foxconn T99W175)"),
    ("105B", "E0BF", "Foxconn T99W175 PCIe Modem"),
    ("105B", "E0C3", "Foxconn T99W175 PCIe Modem"),
    ("105B", "E0D8", "Foxconn T99W368 PCIe Modem"),
    ("105B", "E0D9", "Foxconn T99W373 PCIe Modem"),
]
QCDM_CHANNEL = 4  # the MHI channel of DIAG, in the "&MI_" place of the identifier
pci_rows = [(f"PCI\\VEN_{ven}&DEV_{dev}&MI_{QCDM_CHANNEL:02X}", name, DM, "Both")
            for ven, dev, name in pci_products]
check(len({r[0] for r in pci_rows} | {r[0] for r in rows}) == len(rows) + len(pci_rows),
      "unique PCI keys")
check(all(r[0] == r[0].upper() for r in pci_rows), "PCI keys upper case")


def c_string(text):
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


out = sys.stdout
out.write("""// The built-in list of modem interfaces the library recognises: one row per USB interface
// (or HID collection) of each supported product, and the DM ports of PCIe modems. Generated by
// scripts/gen_port_map_table.py; edit the script and regenerate rather than editing the rows by
// hand.
//
// The rows are constant; init_valid_ports_map copies them into valid_ports_map once.
#include "lib/discovery/port_map.h"

namespace kav {
namespace {

constexpr PortMapRow kValidPortsMapInitializer[] = {
""")
for ident, name, ptype, reset in rows:
    out.write(f"    {{{c_string(ident)}, {c_string(name)}, {ptype}, {reset}}},\n")
out.write("""};

constexpr PortMapRow kPciPortMapRows[] = {
""")
for ident, name, ptype, reset in pci_rows:
    out.write(f"    {{{c_string(ident)}, {c_string(name)}, {ptype}, {reset}}},\n")
out.write("""};

}  // namespace

std::span<const PortMapRow> valid_ports_map_initializer() { return kValidPortsMapInitializer; }

std::span<const PortMapRow> pci_port_map_rows() { return kPciPortMapRows; }

}  // namespace kav
""")
print(f"{len(rows)} rows, {len({r[1] for r in rows})} names, third-party products "
      f"{THIRD_PARTY}", file=sys.stderr)
