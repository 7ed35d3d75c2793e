#include "format/state.h"
#include "support/utils.h"

#include "test_util.h"

constexpr const char* digest_a = "a9993e364706816aba3e25717850c26c9cd0d89d";

// Written state reads back; one not to be trusted whole (cut, changed, foreign, malformed, no file) reads as none.
TEST(State, WrittenStateReadsBackAndAnyOtherReadsAsNone) {
    scratch_dir dir;
    const std::string path = dir / "launcher.state";
    launcher_state state;
    state.sequence = 7;
    state.complete = true;
    state.files["data/a b.pak"] = {digest_a, {1000, 2, 3, 4, 5, true, false}};
    state.files["x"] = {"da39a3ee5e6b4b0d3255bfef95601890afd80709", {0, 1, 1, 1, 1, true, false}};
    ASSERT_TRUE(state_write(path.c_str(), state));
    EXPECT_FALSE(std::filesystem::exists(path + ".new"));
    launcher_state back;
    ASSERT_TRUE(state_read(path.c_str(), &back));
    EXPECT_TRUE(back.sequence == 7 && back.complete && back.files.size() == 2);
    for (const auto& [name, record] : state.files)
        EXPECT_TRUE(back.files[name].hash == record.hash && same_stamp(back.files[name].stamp, record.stamp)) << name;

    const std::string good = read_file(path);
    const std::string body = good.substr(0, good.rfind("end "));
    auto whole = [&](std::string text, const std::string& find, const std::string& by) { // with a correct last line
        text.replace(text.find(find), find.size(), by);
        write_file(dir / "body", text);
        char* digest = compute_file_hash((dir / "body").c_str());
        text += "end " + std::string(digest) + "\n";
        free(digest);
        return text;
    };
    const std::string refused[] = {"", good.substr(0, good.size() / 2), std::string(good).replace(good.find("file "), 4, "fila"),
                                   whole(body, "source https://", "source http://x"), whole(body, "state 1", "state 2"),
                                   whole(body, "\nfile ", "\nfile x\nfile "), whole(body, "\nfile ", "\nsequence 9\nfile "),
                                   whole(body, "complete\nfile ", "file x\ncomplete\nfile "),
                                   good + "x"};
    launcher_state none;
    EXPECT_FALSE(state_read((dir / "missing").c_str(), &none));
    for (const auto& text : refused) {
        write_file(path, text);
        launcher_state none;
        EXPECT_FALSE(state_read(path.c_str(), &none)) << text;
        EXPECT_TRUE(none.files.empty() && none.sequence == 0 && !none.complete) << text;
    }
    // A recorded digest stands only for the same name, unchanged in every part of its stamp, a regular file.
    state.files["a"] = {digest_a, {1000, 2, 3, 4, 5, true, false}};
    EXPECT_STREQ(state_known_digest(state, "a", {1000, 2, 3, 4, 5, true, false}), digest_a);
    const std::pair<const char*, platform_file_stamp> changed[] = {
        {"b", {1000, 2, 3, 4, 5, true, false}}, {"a", {1001, 2, 3, 4, 5, true, false}}, {"a", {1000, 9, 3, 4, 5, true, false}},
        {"a", {1000, 2, 9, 4, 5, true, false}}, {"a", {1000, 2, 3, 9, 5, true, false}}, {"a", {1000, 2, 3, 4, 9, true, false}},
        {"a", {1000, 2, 3, 4, 5, false, false}}};
    for (const auto& [name, now] : changed)
        EXPECT_EQ(state_known_digest(state, name, now), nullptr) << name << " " << now.size << " " << now.write_time;
}

