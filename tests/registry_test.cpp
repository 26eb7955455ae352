// The registry calls over the board's registry.reg, and the .reg reader and writer behind them.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "sim/ceapi/kernel_objects.h"
#include "sim/board/board_power.h"
#include "sim/ceapi/regfile.h"
#include "testboard.h"

namespace {

std::vector<uint8_t> utf16z(std::u16string s) {
    std::vector<uint8_t> out;
    s.push_back(0);
    for (char16_t c : s) {
        out.push_back(static_cast<uint8_t>(c & 0xFF));
        out.push_back(static_cast<uint8_t>(c >> 8));
    }
    return out;
}

struct Queried {
    LONG rc = -1;
    DWORD type = 0xDEAD;
    std::vector<uint8_t> data;
};

Queried query(HKEY key, const WCHAR* name) {
    Queried q;
    DWORD size = 0;
    q.rc = RegQueryValueExW(key, name, nullptr, &q.type, nullptr, &size);
    if (q.rc != ERROR_SUCCESS) return q;
    q.data.resize(size);
    DWORD got = size;
    q.rc = RegQueryValueExW(key, name, nullptr, &q.type, q.data.data(), &got);
    EXPECT_EQ(got, size);
    return q;
}

HKEY open(HKEY root, const WCHAR* path, REGSAM sam = 0) {
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExW(root, path, 0, sam, &key), ERROR_SUCCESS);
    return key;
}

const char* const kEveryForm =
    "; values of every form\r\n"
    "\r\n"
    "[HKEY_LOCAL_MACHINE\\Software\\Test]\r\n"
    "\"Answer\"=dword:0000002a\r\n"
    "\"Big\"=dword:FFFFFFFE\r\n"
    "\"Path\"=\"\\\\Windows\\\\x.exe says \\\"hi\\\"\"\r\n"
    "\"Empty\"=\"\"\r\n"
    "\"Blob\"=hex:01,02,ab,\\\r\n"
    "      CD,05\r\n"
    "\"NoBytes\"=hex:\r\n"
    "\"Expand\"=hex(2):41,00,00,00\r\n"
    "\"List\"=multi_sz:\"one\",\"two\",\\\r\n"
    "    \"three\"\r\n"
    "@=\"the default\"\r\n"
    "   ; an indented comment\r\n"
    "\"Trailing\"=dword:7 ; a comment after the value\r\n"
    "\"Umlaut\"=\"Gr\xC3\xBC\xC3\x9F\"\r\n";

TEST(Registry, ReadsEveryValueForm) {
    TestBoard board(testing_board::frozenDefaults(), kEveryForm);
    HKEY key = open(HKEY_LOCAL_MACHINE, u"Software\\Test");

    struct Case {
        const WCHAR* name;
        DWORD type;
        std::vector<uint8_t> data;
    };
    const Case cases[] = {
        {u"Answer", REG_DWORD, {0x2A, 0, 0, 0}},
        {u"Big", REG_DWORD, {0xFE, 0xFF, 0xFF, 0xFF}},
        {u"Path", REG_SZ, utf16z(u"\\Windows\\x.exe says \"hi\"")},
        {u"Empty", REG_SZ, {0, 0}},
        {u"Blob", REG_BINARY, {0x01, 0x02, 0xAB, 0xCD, 0x05}},
        {u"NoBytes", REG_BINARY, {}},
        {u"Expand", REG_EXPAND_SZ, {0x41, 0, 0, 0}},
        {u"List", REG_MULTI_SZ,
         [] {
             std::vector<uint8_t> v = utf16z(u"one"), b = utf16z(u"two"), c = utf16z(u"three");
             v.insert(v.end(), b.begin(), b.end());
             v.insert(v.end(), c.begin(), c.end());
             v.push_back(0);
             v.push_back(0);
             return v;
         }()},
        {nullptr, REG_SZ, utf16z(u"the default")},
        {u"", REG_SZ, utf16z(u"the default")},
        {u"Trailing", REG_DWORD, {7, 0, 0, 0}},
        {u"Umlaut", REG_SZ, utf16z(u"Gr\u00FC\u00DF")},
    };
    for (const Case& c : cases) {
        Queried q = query(key, c.name);
        const std::string label = c.name ? sim::toUtf8(c.name) : "(null)";
        EXPECT_EQ(q.rc, ERROR_SUCCESS) << label;
        EXPECT_EQ(q.type, c.type) << label;
        EXPECT_EQ(q.data, c.data) << label;
    }
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

TEST(Registry, ReadsFilesWithBareLineFeeds) {
    TestBoard board(testing_board::frozenDefaults(),
                    "[HKEY_LOCAL_MACHINE\\A]\n\"X\"=dword:00000005\n\"Bin\"=hex:01,\\\n  02\n");
    HKEY key = open(HKEY_LOCAL_MACHINE, u"A");
    EXPECT_EQ(query(key, u"X").data, (std::vector<uint8_t>{5, 0, 0, 0}));
    EXPECT_EQ(query(key, u"Bin").data, (std::vector<uint8_t>{1, 2}));
    RegCloseKey(key);
}

TEST(Registry, KeyAndValueNamesIgnoreLetterCase) {
    TestBoard board(testing_board::frozenDefaults(),
                    "[hkey_local_machine\\SOFTWARE\\Vorlack\\Tamblin]\r\n\"Protocol\"=dword:00000003\r\n");
    HKEY key = open(HKEY_LOCAL_MACHINE, u"software\\VORLACK\\tamblin");
    Queried q = query(key, u"PROTOCOL");
    EXPECT_EQ(q.rc, ERROR_SUCCESS);
    EXPECT_EQ(q.data, (std::vector<uint8_t>{3, 0, 0, 0}));
    RegCloseKey(key);
}

TEST(Registry, OpensWithAccessMaskZeroAndAllAccess) {
    TestBoard board;
    HKEY a = open(HKEY_LOCAL_MACHINE, u"Software\\Microsoft\\Clock", 0);
    HKEY b = open(HKEY_LOCAL_MACHINE, u"Software\\Microsoft\\Clock", KEY_ALL_ACCESS);
    EXPECT_NE(a, b);
    EXPECT_EQ(query(a, u"AutoDST").data, (std::vector<uint8_t>{1, 0, 0, 0}));
    EXPECT_EQ(query(b, u"AutoDST").data, (std::vector<uint8_t>{1, 0, 0, 0}));
    EXPECT_EQ(RegCloseKey(a), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(b), ERROR_SUCCESS);
}

TEST(Registry, OpensSubkeysOfAnOpenedKeyAndKeysImpliedByDeeperSections) {
    TestBoard board(testing_board::frozenDefaults(),
                    "[HKEY_LOCAL_MACHINE\\A\\B\\C]\r\n\"V\"=dword:00000009\r\n");
    HKEY a = open(HKEY_LOCAL_MACHINE, u"A");  // exists only because A\B\C does
    HKEY b = open(a, u"B");
    HKEY c = open(b, u"c");
    EXPECT_EQ(query(c, u"V").data, (std::vector<uint8_t>{9, 0, 0, 0}));
    EXPECT_EQ(query(a, u"V").rc, ERROR_FILE_NOT_FOUND);
    HKEY again = nullptr;
    EXPECT_EQ(RegOpenKeyExW(c, nullptr, 0, 0, &again), ERROR_SUCCESS);
    EXPECT_EQ(query(again, u"V").rc, ERROR_SUCCESS);
    for (HKEY k : {a, b, c, again}) EXPECT_EQ(RegCloseKey(k), ERROR_SUCCESS);
}

TEST(Registry, MissingKeysAndValuesAreNotFound) {
    TestBoard board(testing_board::frozenDefaults(), "[HKEY_LOCAL_MACHINE\\A\\B]\r\n\"V\"=dword:1\r\n");
    HKEY key = reinterpret_cast<HKEY>(0x1234);
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"A\\Missing", 0, 0, &key), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"AB", 0, 0, &key), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"A\\B", 0, 0, &key), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(key, reinterpret_cast<HKEY>(0x1234));
    key = open(HKEY_LOCAL_MACHINE, u"A\\B");
    DWORD type = 0xDEAD, size = 4;
    BYTE buf[4] = {0x11, 0x22, 0x33, 0x44};
    EXPECT_EQ(RegQueryValueExW(key, u"W", nullptr, &type, buf, &size), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(buf[0], 0x11);
    EXPECT_EQ(RegQueryValueExW(key, nullptr, nullptr, &type, buf, &size), ERROR_FILE_NOT_FOUND);
    RegCloseKey(key);
}

TEST(Registry, TooSmallBufferGetsNothingButLearnsTheSize) {
    TestBoard board(testing_board::frozenDefaults(),
                    "[HKEY_LOCAL_MACHINE\\A]\r\n\"S\"=\"abc\"\r\n\"D\"=dword:1\r\n");
    HKEY key = open(HKEY_LOCAL_MACHINE, u"A");
    BYTE buf[8];
    std::memset(buf, 0x5A, sizeof buf);
    DWORD type = 0, size = 7;  // "abc" needs 8 bytes with its terminator
    EXPECT_EQ(RegQueryValueExW(key, u"S", nullptr, &type, buf, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 8u);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    for (BYTE b : buf) EXPECT_EQ(b, 0x5A);

    size = 3;
    EXPECT_EQ(RegQueryValueExW(key, u"D", nullptr, nullptr, buf, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 4u);
    for (BYTE b : buf) EXPECT_EQ(b, 0x5A);

    size = sizeof buf;  // a bigger buffer than needed is fine, and the size becomes the data's
    EXPECT_EQ(RegQueryValueExW(key, u"D", nullptr, nullptr, buf, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(buf[0], 1);
    EXPECT_EQ(buf[4], 0x5A);
    RegCloseKey(key);
}

TEST(Registry, SizeQueryWithoutBufferReportsTheSize) {
    TestBoard board(testing_board::frozenDefaults(), "[HKEY_LOCAL_MACHINE\\A]\r\n\"S\"=\"hello\"\r\n");
    HKEY key = open(HKEY_LOCAL_MACHINE, u"A");
    DWORD type = 0, size = 0;
    EXPECT_EQ(RegQueryValueExW(key, u"S", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 12u);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(RegQueryValueExW(key, u"S", nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    RegCloseKey(key);
}

TEST(Registry, HandlesThatAreNotOpenKeysAreRefused) {
    TestBoard board;
    DWORD v = 0, size = 4;
    EXPECT_EQ(RegQueryValueExW(nullptr, u"AutoDST", nullptr, nullptr, (LPBYTE)&v, &size),
              ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCloseKey(nullptr), ERROR_INVALID_HANDLE);
    HKEY key = open(HKEY_LOCAL_MACHINE, u"Software\\Microsoft\\Clock");
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(RegQueryValueExW(key, u"AutoDST", nullptr, nullptr, (LPBYTE)&v, &size), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegOpenKeyExW(key, u"X", 0, 0, &key), ERROR_INVALID_HANDLE);
}

TEST(Registry, SeesTheFileAsChangedBetweenOpens) {
    TestBoard board(testing_board::frozenDefaults(), "[HKEY_LOCAL_MACHINE\\A]\r\n\"V\"=dword:1\r\n");
    HKEY first = open(HKEY_LOCAL_MACHINE, u"A");
    board.writeRegistry("[HKEY_LOCAL_MACHINE\\A]\r\n\"V\"=dword:2\r\n");
    HKEY second = open(HKEY_LOCAL_MACHINE, u"A");
    EXPECT_EQ(query(second, u"V").data, (std::vector<uint8_t>{2, 0, 0, 0}));
    RegCloseKey(first);
    RegCloseKey(second);
}

struct BadFile {
    const char* text;
    int line;
    const char* reason;  // a part of the reason
};

const BadFile kBadFiles[] = {
    {"\"V\"=dword:1\r\n", 1, "before the first [key] section"},
    {"[HKEY_LOCAL_MACHINE\\A]\r\n\"V\"=dword:123456789\r\n", 2, "at most 8 hex digits"},
    {"[HKEY_LOCAL_MACHINE\\A]\r\n\"V\"=dword:\r\n", 2, "1 to 8 hex digits"},
    {"[HKEY_LOCAL_MACHINE\\A]\r\n\"V\"=dword:12x\r\n", 2, "unexpected text"},
    {"[HKEY_LOCAL_MACHINE\\A]\r\n\r\n\"S\"=\"open\r\n", 3, "no closing"},
    {"[HKEY_LOCAL_MACHINE\\A]\r\n\"S\"=\"a\\nb\"\r\n", 2, "unknown escape"},
    {"[HKEY_LOCAL_MACHINE\\A]\r\n\"B\"=hex:01,zz\r\n", 2, "expected a hex byte"},
    {"[HKEY_LOCAL_MACHINE\\A]\r\n\"B\"=hex:01,\r\n", 2, "ends with a comma"},
    {"[HKEY_LOCAL_MACHINE\\A]\r\n\"B\"=hex:01 02\r\n", 2, "comma between hex bytes"},
    {"[HKEY_LOCAL_MACHINE\\A]\r\n\"B\"=hex:01,\\\r\n", 2, "file ends"},
    {"[HKEY_LOCAL_MACHINE\\A]\r\n\"B\"=hex:01,\\\r\n  02,zz\r\n", 3, "expected a hex byte"},
    {"[HKEY_LOCAL_MACHINE\\A]\r\n\"M\"=multi_sz:\"a\",\"\"\r\n", 2, "empty string"},
    {"[HKEY_LOCAL_MACHINE\\A]\r\n\"V\"=word:1\r\n", 2, "unknown data form"},
    {"[HKEY_LOCAL_MACHINE\\A]\r\n\"V\"dword:1\r\n", 2, "expected ="},
    {"[HKEY_LOCAL_MACHINE\\A]\r\n\"V\"=-\r\n", 2, "not supported"},
    {"[HKEY_LOCAL_MACHINE\\A]\r\nV=dword:1\r\n", 2, "expected a [key] section"},
    {"[HKEY_LOCAL_MACHINE\\A\r\n", 1, "closing ]"},
    {"[HKEY_LOCAL_MOCHINE\\A]\r\n", 1, "does not start with HKEY_LOCAL_MACHINE"},
    {"[HKEY_LOCAL_MACHINE\\A\\\\B]\r\n", 1, "empty key name"},
    {"[-HKEY_LOCAL_MACHINE\\A]\r\n", 1, "not supported"},
    {"; fine\r\n[HKEY_LOCAL_MACHINE\\A]\r\n\"\"=dword:1\r\n", 3, "empty value name"},
    {"IF\r\n", 1, "expected IF VARIABLE"},
    {"IF A B\r\nENDIF\r\n", 1, "expected IF VARIABLE"},
    {"ENDIF\r\n", 1, "ENDIF without its IF"},
    {"ELSE\r\n", 1, "ELSE without its IF"},
    {"IF A !\r\nELSE\r\nELSE\r\nENDIF\r\n", 3, "ELSE without its IF"},
    {"[HKEY_LOCAL_MACHINE\\A]\r\nIF BSP_X !\r\n\"V\"=dword:1\r\n", 2, "IF without its ENDIF"},
};

// The image builder's conditional lines, read as for an image that sets no BSP variable.
TEST(RegistryFile, ConditionalBlocksAreTakenAsWithNoBspVariableSet) {
    struct Case {
        const char* what;
        const char* body;  // lines between [HKEY_LOCAL_MACHINE\A] and the end
        std::vector<std::string> values;
    };
    const Case cases[] = {
        {"IF VAR ! is taken", "IF BSP_NOX !\r\n\"V\"=dword:1\r\nENDIF BSP_NOX !\r\n", {"V"}},
        {"IF VAR is not", "IF BSP_X\r\n\"V\"=dword:1\r\nENDIF\r\n", {}},
        {"ELSE of a block not taken",
         "IF BSP_X\r\n\"V\"=dword:1\r\nELSE\r\n\"W\"=dword:2\r\nENDIF\r\n",
         {"W"}},
        {"ELSE of a block taken", "IF BSP_X !\r\n\"V\"=dword:1\r\nELSE\r\n\"W\"=dword:2\r\nENDIF\r\n", {"V"}},
        {"a taken block inside one not taken",
         "IF BSP_X\r\nIF BSP_Y !\r\n\"V\"=dword:1\r\nENDIF\r\nELSE\r\n\"W\"=dword:2\r\nENDIF\r\n",
         {"W"}},
        {"lines not taken are not read",
         "IF BSP_X\r\nthis is no registry line\r\nENDIF\r\n\"V\"=dword:1\r\n",
         {"V"}},
        {"in any letter case, after spaces",
         "  if BSP_X\r\n\"V\"=dword:1\r\n  endif\r\n\"W\"=dword:2\r\n",
         {"W"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const sim::reg::Registry r =
            sim::reg::parse(std::string("[HKEY_LOCAL_MACHINE\\A]\r\n") + c.body, "platform.reg");
        std::vector<std::string> names;
        for (const sim::reg::Key& k : r.keys())
            for (const sim::reg::Value& v : k.values) names.push_back(v.name);
        EXPECT_EQ(names, c.values);
    }
}

TEST(RegistryFile, MalformedTextIsRefusedWithLineAndReason) {
    for (const BadFile& bad : kBadFiles) {
        try {
            sim::reg::parse(bad.text, "board/registry.reg");
            ADD_FAILURE() << "accepted: " << bad.text;
        } catch (const sim::reg::ParseError& e) {
            EXPECT_EQ(e.file, "board/registry.reg") << bad.text;
            EXPECT_EQ(e.line, bad.line) << bad.text << " -> " << e.what();
            EXPECT_NE(e.reason.find(bad.reason), std::string::npos) << bad.text << " -> " << e.reason;
            EXPECT_EQ(std::string(e.what()),
                      "board/registry.reg:" + std::to_string(bad.line) + ": " + e.reason);
        }
    }
}

TEST(Registry, MalformedFileRefusesAllAccessAndSaysWhereAndWhy) {
    const std::string text =
        "[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Clock]\r\n"
        "\"AutoDST\"=dword:00000001\r\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vorlack\\Tamblin]\r\n"
        "\"Protocol\"=dword:0000000g\r\n";
    TestBoard board(testing_board::frozenDefaults(), text);
    HKEY key = nullptr;
    // The well-formed part before the error is not served either.
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Microsoft\\Clock", 0, 0, &key),
              ERROR_INVALID_DATA);
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Vorlack\\Tamblin", 0, 0, &key),
              ERROR_INVALID_DATA);
    EXPECT_EQ(key, nullptr);
    const std::string log = board.debugLog();
    const std::string expected = board.path("registry.reg") + ":4: ";
    EXPECT_NE(log.find(expected), std::string::npos) << log;
    // Reported once per version of the file, on one line.
    EXPECT_EQ(log.find(expected), log.rfind(expected));
    EXPECT_EQ(log.back(), '\n');
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1);

    board.writeRegistry(sim::defaultRegistryText());
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Microsoft\\Clock", 0, 0, &key), ERROR_SUCCESS);
    RegCloseKey(key);
}

TEST(RegistryFile, SettingValuesAndWritingBackKeepsEverythingElse) {
    TestBoard board(testing_board::frozenDefaults(), kEveryForm);
    sim::reg::Registry r = sim::reg::load(board.path("registry.reg"));
    r.setDword("HKEY_LOCAL_MACHINE\\software\\test", "answer", 0x6F);
    r.setString("HKEY_LOCAL_MACHINE\\SOFTWARE\\Vorlack\\Tamblin", "Note", "a \"quoted\" \\path");
    sim::reg::save(board.path("registry.reg"), r);

    sim::reg::Registry back = sim::reg::load(board.path("registry.reg"));
    ASSERT_EQ(back.keys().size(), 2u);
    EXPECT_EQ(back.keys()[0].values.size(), r.keys()[0].values.size());  // replaced, not added
    for (const sim::reg::Key& k : r.keys()) {
        for (const sim::reg::Value& v : k.values) {
            const sim::reg::Value* w = back.findValue(k.path, v.name);
            ASSERT_NE(w, nullptr) << v.name;
            EXPECT_EQ(w->type, v.type) << v.name;
            EXPECT_EQ(w->data, v.data) << v.name;
        }
    }
    const sim::reg::Value* answer = back.findValue("HKEY_LOCAL_MACHINE\\Software\\Test", "Answer");
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(answer->data, (std::vector<uint8_t>{0x6F, 0, 0, 0}));

    // And the program sees the written file.
    HKEY key = open(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Vorlack\\Tamblin");
    EXPECT_EQ(query(key, u"Note").data, utf16z(u"a \"quoted\" \\path"));
    RegCloseKey(key);
}

TEST(RegistryFile, ValuesAreShownInRegNotation) {
    using sim::reg::Value;
    EXPECT_EQ(sim::reg::formatValue(Value{"AutoDST", sim::reg::kDword, {1, 0, 0, 0}}),
              "\"AutoDST\"=dword:00000001");
    EXPECT_EQ(sim::reg::formatValue(Value{"", sim::reg::kSz, sim::reg::stringData("a\\b")}), "@=\"a\\\\b\"");
    EXPECT_EQ(sim::reg::formatValue(Value{"B", sim::reg::kBinary, {0x0A, 0xFF}}), "\"B\"=hex:0a,ff");
    EXPECT_EQ(sim::reg::formatValue(Value{"D", sim::reg::kDword, {1, 0}}), "\"D\"=hex(4):01,00");
}

// What a program sets lives in the registry's RAM: every program sees it at once, registry.reg
// only after a flush, and a power-down before the flush loses it.
TEST(Registry, SetValuesReachTheFileOnlyWhenFlushedAndAPowerDownLosesTheRest) {
    TestBoard board;
    const std::string fileBefore = sim::readFile(board.path("registry.reg"));
    HKEY key = nullptr;
    DWORD disposition = 0;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Vorlack\\Tamblin", 0, nullptr, 0, 0, nullptr,
                              &key, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
    const DWORD drift = 0xFFFF3CB0;  // -50000
    const BYTE when[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(RegSetValueExW(key, u"DriftPpb", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&drift), 4),
              ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExW(key, u"At", 0, REG_BINARY, when, sizeof when), ERROR_SUCCESS);
    // Seen through the same handle and through a new opening, but not yet in the file.
    EXPECT_EQ(query(key, u"DriftPpb").data, (std::vector<uint8_t>{0xB0, 0x3C, 0xFF, 0xFF}));
    HKEY again = open(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Vorlack\\Tamblin");
    EXPECT_EQ(query(again, u"At").data, std::vector<uint8_t>(when, when + 8));
    EXPECT_EQ(sim::readFile(board.path("registry.reg")), fileBefore);

    EXPECT_EQ(RegFlushKey(key), ERROR_SUCCESS);
    const std::string flushed = sim::readFile(board.path("registry.reg"));
    EXPECT_EQ(flushed.rfind("; Registry of the virtual board", 0), 0u) << flushed;  // its comment kept
    EXPECT_NE(flushed.find("\"DriftPpb\"=dword:ffff3cb0"), std::string::npos) << flushed;
    EXPECT_TRUE(sim::Board::current().readState().registryNotFlushed.empty());

    // Set again, not flushed, and the power goes: the flushed value is what remains.
    const DWORD other = 7;
    EXPECT_EQ(RegSetValueExW(key, u"DriftPpb", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&other), 4),
              ERROR_SUCCESS);
    EXPECT_EQ(query(open(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Vorlack\\Tamblin"), u"DriftPpb").data,
              (std::vector<uint8_t>{7, 0, 0, 0}));
    sim::powerDownBoard();
    sim::powerUpBoard(std::nullopt);
    EXPECT_EQ(query(open(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Vorlack\\Tamblin"), u"DriftPpb").data,
              (std::vector<uint8_t>{0xB0, 0x3C, 0xFF, 0xFF}));
    EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"Software\\VORLACK\\tamblin", 0, nullptr, 0, 0, nullptr,
                              &key, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
    // A root takes values as an open key does; a handle that is no open key takes none. Without a
    // subkey, creating opens the key itself.
    EXPECT_EQ(
        RegSetValueExW(HKEY_LOCAL_MACHINE, u"X", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&other), 4),
        ERROR_SUCCESS);
    EXPECT_EQ(query(open(HKEY_LOCAL_MACHINE, u""), u"X").data, (std::vector<uint8_t>{7, 0, 0, 0}));
    EXPECT_EQ(RegSetValueExW(reinterpret_cast<HKEY>(0x1234), u"X", 0, REG_DWORD,
                             reinterpret_cast<const BYTE*>(&other), 4),
              ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegFlushKey(reinterpret_cast<HKEY>(0x1234)), ERROR_INVALID_HANDLE);
    HKEY same = nullptr;
    EXPECT_EQ(RegCreateKeyExW(key, nullptr, 0, nullptr, 0, 0, nullptr, &same, &disposition), ERROR_SUCCESS);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
    EXPECT_EQ(query(same, u"DriftPpb").data, (std::vector<uint8_t>{0xB0, 0x3C, 0xFF, 0xFF}));
}

// A file whose last line has no line end (an editor that adds none): the flush goes on from a
// line of its own and the file reads back whole.
TEST(Registry, AFlushIntoAFileWithoutAFinalLineEndKeepsItReadable) {
    TestBoard board(testing_board::frozenDefaults(), "; Regist");
    HKEY key = nullptr;
    DWORD disposition = 0;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Vorlack\\Tamblin", 0, nullptr, 0, 0, nullptr,
                              &key, &disposition),
              ERROR_SUCCESS);
    const DWORD hours = 168;
    ASSERT_EQ(RegSetValueExW(key, u"DriftHours", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&hours), 4),
              ERROR_SUCCESS);
    EXPECT_EQ(RegFlushKey(key), ERROR_SUCCESS);
    const std::string text = sim::readFile(board.path("registry.reg"));
    EXPECT_EQ(text.rfind("; Regist\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vorlack\\Tamblin]\r\n", 0), 0u) << text;
    const sim::reg::Registry back = sim::reg::parse(text, "registry.reg");
    const sim::reg::Value* v = back.findValue("HKEY_LOCAL_MACHINE\\SOFTWARE\\Vorlack\\Tamblin", "DriftHours");
    ASSERT_NE(v, nullptr) << text;
    EXPECT_EQ(v->data, (std::vector<uint8_t>{168, 0, 0, 0}));
    RegCloseKey(key);
}

// The lookups by name stay right after removals move the values and keys behind them.
TEST(RegistryFile, LookupsFollowRemovalsAndLetterCase) {
    sim::reg::Registry r = sim::reg::parse(
        "[HKEY_LOCAL_MACHINE\\A]\r\n\"One\"=dword:1\r\n\"Two\"=dword:2\r\n\"Three\"=dword:3\r\n"
        "[HKEY_LOCAL_MACHINE\\A\\Sub]\r\n\"X\"=dword:4\r\n[HKEY_LOCAL_MACHINE\\B]\r\n\"Y\"=dword:5\r\n"
        "[hkey_local_machine\\a]\r\n\"ONE\"=dword:6\r\n",
        "registry.reg");
    const auto dword = [&](const char* key, const char* name) -> int {
        const sim::reg::Value* v = r.findValue(key, name);
        return v ? v->data[0] : -1;
    };
    ASSERT_EQ(r.keys().size(), 3u) << "a section named twice is one key";
    EXPECT_EQ(dword("HKEY_LOCAL_MACHINE\\a", "one"), 6) << "the later value replaced the first";
    EXPECT_TRUE(r.removeValue("HKEY_LOCAL_MACHINE\\A", "TWO"));
    EXPECT_FALSE(r.removeValue("HKEY_LOCAL_MACHINE\\A", "Two"));
    EXPECT_EQ(dword("HKEY_LOCAL_MACHINE\\A", "Three"), 3);
    r.setDword("HKEY_LOCAL_MACHINE\\A", "three", 7);
    EXPECT_EQ(r.keys()[0].values.size(), 2u);
    EXPECT_EQ(dword("HKEY_LOCAL_MACHINE\\A", "THREE"), 7);
    EXPECT_EQ(r.removeKey("HKEY_LOCAL_MACHINE\\a"), 2u);
    EXPECT_EQ(dword("HKEY_LOCAL_MACHINE\\B", "Y"), 5);
    EXPECT_EQ(dword("HKEY_LOCAL_MACHINE\\A\\Sub", "X"), -1);
    r.setDword("HKEY_LOCAL_MACHINE\\C", "Z", 8);
    EXPECT_EQ(dword("HKEY_LOCAL_MACHINE\\c", "z"), 8);
    EXPECT_EQ(dword("HKEY_LOCAL_MACHINE\\B", "y"), 5);
}

}  // namespace
