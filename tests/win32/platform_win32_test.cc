// The Windows side of the platform layer, run as a Windows program (under Wine in CI): error
// codes, files, COM port names, the registry hives, resources, MD5 and registry change
// notifications.
#include <windows.h>

#include <dbt.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "lib/platform/console.h"
#include "lib/platform/device_watch.h"
#include "lib/platform/devices.h"
#include "lib/platform/digest.h"
#include "lib/platform/error.h"
#include "lib/platform/files.h"
#include "lib/platform/registry.h"
#include "lib/platform/resources.h"
#include "lib/platform/serial.h"
#include "lib/platform/sync.h"
#include "lib/platform/win32.h"
#include "tests/support/test_env.h"

namespace kav::platform {
namespace {

using test::TempDir;

TEST(Win32Errors, WindowsCodesBecomeLayerCodesWithoutPassingForOtherErrnoValues) {
  struct Case {
    DWORD windows;
    int expected;
  };
  const Case cases[] = {
      {ERROR_SUCCESS, 0},
      {ERROR_FILE_NOT_FOUND, ENOENT},
      {ERROR_PATH_NOT_FOUND, ENOENT},
      {ERROR_ACCESS_DENIED, EACCES},
      {ERROR_SHARING_VIOLATION, EBUSY},
      {ERROR_ALREADY_EXISTS, EEXIST},
      {ERROR_DEVICE_NOT_CONNECTED, kErrorDeviceNotConnected},
      {ERROR_NO_MORE_ITEMS, kErrorNoMoreItems},
      {ERROR_RESOURCE_NAME_NOT_FOUND, kErrorResourceNameNotFound},
      // ERROR_INVALID_FUNCTION is 1, EPERM's number: it must not come out as EPERM.
      {ERROR_INVALID_FUNCTION, 1 | win32::kWindowsCodeBit},
      {ERROR_SEM_TIMEOUT, ERROR_SEM_TIMEOUT | win32::kWindowsCodeBit},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.expected, win32::error_of(c.windows)) << "Windows error " << c.windows;
  }
}

TEST(Win32Errors, MessagesNumberWindowsCodesAsWindowsErrorsAndErrnoValuesAsErrno) {
  EXPECT_EQ("error 121", system_error_number(win32::error_of(ERROR_SEM_TIMEOUT)));
  EXPECT_EQ("error 1", system_error_number(win32::error_of(ERROR_INVALID_FUNCTION)));
  EXPECT_EQ("error 259", system_error_number(kErrorNoMoreItems));
  EXPECT_EQ("errno 2", system_error_number(win32::error_of(ERROR_FILE_NOT_FOUND)));
}

TEST(Win32Errors, TextsComeFromTheSystemForWindowsCodesAndFromTheRuntimeForErrnoValues) {
  char expected[512] = {};
  FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                 ERROR_INVALID_FUNCTION, 0, expected, sizeof expected, nullptr);
  std::string system_text = expected;
  while (!system_text.empty() &&
         (system_text.back() == '\n' || system_text.back() == '\r' || system_text.back() == ' ')) {
    system_text.pop_back();
  }
  ASSERT_FALSE(system_text.empty());
  EXPECT_EQ(system_text, system_error_text(win32::error_of(ERROR_INVALID_FUNCTION)));
  EXPECT_EQ(std::string(std::strerror(ENOENT)), system_error_text(ENOENT));
  const std::string gone = system_error_text(kErrorDeviceNotConnected);
  EXPECT_FALSE(gone.empty());
  EXPECT_EQ(std::string::npos, gone.find('\n'));
}

TEST(Win32Files, ReplaceFileKeepsBytesExactlyAndLeavesNoTemporary) {
  TempDir dir;
  const std::string file = dir.file("settings.reg");
  const std::vector<std::string> texts = {std::string("one\nline\r\n\x1a\0end", 15),
                                          "second version\n"};
  for (const std::string& text : texts) {
    ASSERT_EQ(0, replace_file(file, text));
    std::string read;
    ASSERT_EQ(0, read_whole_file(file, &read));
    EXPECT_EQ(text, read);
  }
  std::vector<std::string> left;
  EXPECT_EQ(ENOENT, find_files(dir.file(".settings.reg.*"), &left));
}

TEST(Win32Files, ReadWholeFileRefusesDevicesAndOversizedFiles) {
  TempDir dir;
  const std::string file = dir.file("big.txt");
  ASSERT_EQ(0, replace_file(file, std::string(100, 'x')));
  std::string text;
  EXPECT_EQ(kErrorFileTooLarge, read_whole_file(file, &text, 99));
  EXPECT_TRUE(text.empty());
  EXPECT_EQ(0, read_whole_file(file, &text, 100));
  for (const char* device : {"NUL", "\\\\.\\COM1", "C:/dir/com3.txt", "aux"}) {
    EXPECT_EQ(kErrorNotRegularFile, read_whole_file(device, &text)) << device;
  }
  EXPECT_EQ(ENOENT, read_whole_file(dir.file("missing"), &text));
}

TEST(Win32Files, NewFilesAreNeverOpenedOverExistingOnesAndWriteBinary) {
  TempDir dir;
  const std::string file = dir.file("log/msg_1.txt");
  ASSERT_EQ(0, make_directories(dir.file("log")));
  std::FILE* created = create_new_file(file, "w");
  ASSERT_NE(nullptr, created);
  std::fputs("a\nb\n", created);
  std::fclose(created);
  std::string read;
  ASSERT_EQ(0, read_whole_file(file, &read));
  EXPECT_EQ("a\nb\n", read);  // no carriage returns added
  EXPECT_EQ(nullptr, create_new_file(file, "a"));
  EXPECT_TRUE(is_name_taken(last_error()));
}

// Only a console is a terminal: NUL is a character device too (which _isatty takes for one), a
// file is not; neither is given escape sequences.
TEST(Win32Console, OnlyAConsoleIsATerminal) {
  TempDir dir;
  for (const std::string& path : {std::string("NUL"), dir.file("out.txt")}) {
    SCOPED_TRACE(path);
    std::FILE* stream = std::fopen(path.c_str(), "w");
    ASSERT_NE(nullptr, stream);
    EXPECT_FALSE(is_terminal(stream));
    EXPECT_FALSE(enable_terminal_sequences(stream));
    std::fclose(stream);
  }
}

TEST(Win32Files, PathsUseForwardSlashes) {
  const std::optional<std::string> module = module_file_name();
  ASSERT_TRUE(module.has_value());
  EXPECT_EQ(std::string::npos, module->find('\\')) << *module;
  EXPECT_NE(std::string::npos, module->find("/platform_win32_tests.exe")) << *module;

  struct Case {
    const char* file;
    const char* parent;
  };
  for (const Case& c : {Case{"C:/a/b.txt", "C:/a"}, Case{"C:/b.txt", "C:/"}, Case{"b.txt", "."},
                        Case{"C:\\a\\b.txt", "C:\\a"}}) {
    EXPECT_EQ(c.parent, parent_directory(c.file)) << c.file;
  }
  const std::optional<std::string> full = full_path("C:/a/./b/../c.txt");
  ASSERT_TRUE(full.has_value());
  EXPECT_EQ("C:/a/c.txt", *full);
  EXPECT_FALSE(full_path("C:/" + std::string(300, 'x')).has_value());
  EXPECT_EQ(ENAMETOOLONG, last_error());
}

TEST(Win32Devices, ComPortNamesAndDeviceNodes) {
  struct Case {
    const char* name;
    int com;
  };
  for (const Case& c :
       {Case{"COM7", 7}, Case{"com12", 12}, Case{"COM4096", 4096}, Case{"COM07", 0},
        Case{"COM0", 0}, Case{"COM4097", 0}, Case{"COMX", 0}, Case{"COM", 0}, Case{"ttyUSB0", 0}}) {
    EXPECT_EQ(c.com, com_number_of_node(c.name)) << c.name;
  }
  EXPECT_EQ("\\\\.\\COM7", com_device_node(7).value_or(""));
  EXPECT_EQ("\\\\.\\COM7", device_node_of_path("\\\\.\\com7").value_or(""));
  EXPECT_FALSE(device_node_of_path("\\\\.\\COM007").has_value());
  EXPECT_FALSE(device_node_of_path("C:/COM7").has_value());
  EXPECT_EQ("USB\\VID_5C8E&PID_A7E2&MI_01\\6&1a2b3c4d&0&0001",
            device_instance_of_path(
                "\\\\?\\USB#VID_5C8E&PID_A7E2&MI_01#6&1a2b3c4d&0&0001#{86e0d1e0-8089-11d0-9ce4-"
                "08003e301f73}"));
}

TEST(Win32Serial, OpeningAMissingPortFailsWithoutAHandle) {
  SerialPort port;
  EXPECT_FALSE(port.open("\\\\.\\COM199"));
  EXPECT_EQ(ENOENT, last_error());
  EXPECT_FALSE(open_error_text().empty());
  EXPECT_FALSE(port.is_open());
}

// A key of the test's own below HKEY_CURRENT_USER, removed at the end.
class Win32Registry : public ::testing::Test {
 protected:
  void TearDown() override { RegDeleteTreeA(HKEY_CURRENT_USER, key_.c_str()); }
  const std::string key_ = "Software\\KavWin32Test\\" + std::to_string(GetCurrentProcessId());
};

TEST_F(Win32Registry, UserHiveIsTheCurrentUsersRegistry) {
  RegistryHive& hive = user_hive();
  EXPECT_EQ(ENOENT, hive.open_key(key_, false));
  ASSERT_EQ(0, hive.set_dwords(key_, {{"Comm Logging", 1}, {"Message Logging", 0x01020304}}));
  DWORD value = 0;
  DWORD size = sizeof value;
  ASSERT_EQ(ERROR_SUCCESS, RegGetValueA(HKEY_CURRENT_USER, key_.c_str(), "Message Logging",
                                        RRF_RT_REG_DWORD, nullptr, &value, &size));
  EXPECT_EQ(0x01020304u, value);
  RegValue read;
  ASSERT_EQ(0, hive.query_value(key_, "message logging", &read));
  EXPECT_EQ(kRegDword, read.type);
  EXPECT_EQ((std::vector<uint8_t>{4, 3, 2, 1}), read.data);
  const char text[] = "C:\\logs";
  ASSERT_EQ(ERROR_SUCCESS, RegSetKeyValueA(HKEY_CURRENT_USER, key_.c_str(), "Logging Directory",
                                           REG_SZ, text, sizeof text));
  ASSERT_EQ(0, hive.query_value(key_, "Logging Directory", &read));
  EXPECT_EQ(kRegSz, read.type);
  EXPECT_EQ(std::vector<uint8_t>(text, text + sizeof text), read.data);  // with its zero
  EXPECT_EQ(ENOENT, hive.query_value(key_, "missing", &read));
}

TEST(Win32MachineHive, IsReadOnly) {
  RegistryHive& hive = machine_hive();
  EXPECT_EQ(0, hive.open_key("SYSTEM\\CurrentControlSet\\Services", false));
  EXPECT_EQ(ENOENT, hive.open_key("SYSTEM\\KavWin32TestMissing", false));
  EXPECT_EQ(EACCES, hive.open_key("SYSTEM\\KavWin32TestMissing", true));
  EXPECT_EQ(EACCES, hive.set_dword("SYSTEM\\CurrentControlSet\\Services", "KavTest", 1));
}

TEST(Win32Resources, TheDefaultDatabaseIsTheModulesResource) {
  const std::optional<ResourceBlock> block = find_resource("UMTS_KAV_LIB_DEFAULT_DB", 28544);
  ASSERT_TRUE(block.has_value());
  const std::string source = test::read_file(KAV_SOURCE_DIR "/lib/nv/default_nvi_db.txt");
  ASSERT_FALSE(source.empty());
  EXPECT_EQ(source, std::string(reinterpret_cast<const char*>(block->data), block->size));
  EXPECT_FALSE(find_resource("UMTS_KAV_LIB_DEFAULT_DB", 28545).has_value());
  EXPECT_EQ(kErrorResourceNameNotFound, last_error());
  EXPECT_FALSE(find_resource("UMTS_KAV_LIB_NO_SUCH_TYPE", 28544).has_value());
  EXPECT_EQ(kErrorResourceTypeNotFound, last_error());
}

TEST(Win32Digest, Md5OfTheReferenceSuite) {
  // RFC 1321, appendix A.5.
  struct Case {
    const char* text;
    const char* digest;
  };
  for (const Case& c :
       {Case{"", "d41d8cd98f00b204e9800998ecf8427e"}, Case{"a", "0cc175b9c0f1b6a831c399e269772661"},
        Case{"abc", "900150983cd24fb0d6963f7d28e17f72"},
        Case{"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        Case{"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
             "57edf4a22be3c955ac49da2e2107b67a"}}) {
    const Md5Digest digest = md5_digest(c.text, std::strlen(c.text));
    char hex[33];
    for (size_t i = 0; i < digest.size(); ++i) std::snprintf(hex + 2 * i, 3, "%02x", digest[i]);
    EXPECT_EQ(c.digest, std::string(hex)) << '"' << c.text << '"';
  }
}

// A change under HKLM\HARDWARE\DEVICEMAP or ...\Services, as a serial driver or a driver's
// installation makes, wakes the watcher with the matching kind; nothing else does.
TEST(Win32DeviceWatch, RegistryChangesWakeTheWatcher) {
  int error = 0;
  std::unique_ptr<DeviceWatcher> watcher = DeviceWatcher::open(&error);
  ASSERT_NE(nullptr, watcher) << system_error_text(error);
  EXPECT_EQ(DeviceChange::None, watcher->wait(50));

  struct Case {
    const char* key;
    DeviceChange expected;
  };
  const std::string value = "KavWin32Test" + std::to_string(GetCurrentProcessId());
  for (const Case& c :
       {Case{"HARDWARE\\DEVICEMAP\\SERIALCOMM", DeviceChange::DevNodes},
        Case{"SYSTEM\\CurrentControlSet\\Services\\KavWin32Test", DeviceChange::Services}}) {
    std::thread writer([&] {
      Sleep(30);
      const char port[] = "COM199";
      RegSetKeyValueA(HKEY_LOCAL_MACHINE, c.key, value.c_str(), REG_SZ, port, sizeof port);
    });
    EXPECT_EQ(c.expected, watcher->wait(5000)) << c.key;
    writer.join();
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, c.key, 0, KEY_WRITE, &key) == ERROR_SUCCESS) {
      RegDeleteValueA(key, value.c_str());
      RegCloseKey(key);
    }
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\KavWin32Test");
    // The clean-up is a change too; let it pass.
    while (watcher->wait(200) != DeviceChange::None) {
    }
  }

  std::thread stopper([&] {
    Sleep(30);
    watcher->stop();
  });
  EXPECT_EQ(DeviceChange::Stopped, watcher->wait(kInfinite));
  stopper.join();
  EXPECT_EQ(DeviceChange::Stopped, watcher->wait(0));
}

// The CD-ROM watcher's window receives WM_DEVICECHANGE broadcasts as Windows sends them, with
// the broadcast record behind the message's lParam; an arrival and a removal come out in order.
TEST(Win32CdromWatch, DeviceBroadcastsBecomeEventsInOrder) {
  int error = 0;
  std::unique_ptr<CdromWatcher> watcher = CdromWatcher::open(&error);
  ASSERT_NE(nullptr, watcher) << system_error_text(error);
  EXPECT_EQ(CdromEvent::None, watcher->wait(20));

  HWND window = nullptr;
  for (HWND w = nullptr; (w = FindWindowExA(HWND_MESSAGE, w, "UmtsKavLibDeviceChange", nullptr));) {
    DWORD process = 0;
    GetWindowThreadProcessId(w, &process);
    if (process == GetCurrentProcessId()) window = w;
  }
  ASSERT_NE(nullptr, window);
  DEV_BROADCAST_DEVICEINTERFACE_A record{};
  record.dbcc_size = sizeof record;
  record.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  record.dbcc_classguid = {
      0x53f56308, 0xb6bf, 0x11d0, {0x94, 0xf2, 0x00, 0xa0, 0xc9, 0x1e, 0xfb, 0x8b}};  // CD-ROM
  // Not a drive, so no event: a port broadcast, and a COM port class interface broadcast.
  DEV_BROADCAST_HDR port{};
  port.dbch_size = sizeof port;
  port.dbch_devicetype = DBT_DEVTYP_PORT;
  DEV_BROADCAST_DEVICEINTERFACE_A com_port = record;
  com_port.dbcc_classguid = {
      0x86e0d1e0, 0x8089, 0x11d0, {0x9c, 0xe4, 0x08, 0x00, 0x3e, 0x30, 0x1f, 0x73}};
  std::thread sender([&] {
    const LPARAM interface_record = reinterpret_cast<LPARAM>(&record);
    DWORD_PTR result = 0;
    for (const void* other :
         {static_cast<const void*>(&port), static_cast<const void*>(&com_port)}) {
      SendMessageTimeoutA(window, WM_DEVICECHANGE, DBT_DEVICEARRIVAL,
                          reinterpret_cast<LPARAM>(other), SMTO_BLOCK, 5000, &result);
    }
    SendMessageTimeoutA(window, WM_DEVICECHANGE, DBT_DEVICEARRIVAL, interface_record, SMTO_BLOCK,
                        5000, &result);
    SendMessageTimeoutA(window, WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE, interface_record,
                        SMTO_BLOCK, 5000, &result);
  });
  EXPECT_EQ(CdromEvent::Arrival, watcher->wait(5000));
  EXPECT_EQ(CdromEvent::Removal, watcher->wait(5000));
  sender.join();
  EXPECT_EQ(CdromEvent::None, watcher->wait(50));
  watcher->stop();
  EXPECT_EQ(CdromEvent::Stopped, watcher->wait(kInfinite));
}

}  // namespace
}  // namespace kav::platform
