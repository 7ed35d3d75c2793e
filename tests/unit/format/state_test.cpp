#include "format/state.h"
#include "support/utils.h"

#include "heap_count.h"
#include "test_util.h"

constexpr const char* digest_a = "a9993e364706816aba3e25717850c26c9cd0d89d";
constexpr uint8_t seeds[2][key_seed_size] = {{9}, {10}};
constexpr const char* channel = "updates.example.com/windows";
constexpr const char* url = "https://updates.example.com/windows/"; // the server an earlier launcher named

// Written state reads back, though a link stands at the temporary's name (never followed); one not to be trusted
// whole (cut, changed, foreign, malformed, out of range, out of order, no file) reads as none, its size and last
// line checked before anything is reserved; an older format reads (for the update URL), its one sequence every
// key's floor; the launcher's own lists' sequences are kept apart from the game's.
TEST(State, WrittenStateReadsBackAndAnyOtherReadsAsNone) {
    scratch_dir dir;
    const std::string path = dir / "launcher.state";
    const public_key key = public_key_of(seeds[0]), other = public_key_of(seeds[1]);
    launcher_state state;
    state.sequences = {{key, 7}, {other, 9223372036854775807}};
    state.own_sequences = {{key, 3}};
    state.complete = true;
    state.files["data/a b.pak"] = {digest_a, {1000, 2, 3, 4, 5, true, false}};
    state.files["x"] = {"da39a3ee5e6b4b0d3255bfef95601890afd80709", {0, 1, 1, 1, 1, true, false}};
    std::filesystem::create_symlink(dir / "outside", path + ".new");
    std::string problem;
    ASSERT_TRUE(state_write(path.c_str(), channel, state, &problem)) << problem;
    EXPECT_FALSE(std::filesystem::exists(path + ".new") || std::filesystem::exists(dir / "outside"));
    launcher_state back;
    ASSERT_TRUE(state_read(path.c_str(), channel, url, &back));
    EXPECT_TRUE(back.files.size() == 2 && back.complete && back.sequence_floor == 0 && sequence_under(back.sequences, key) == 7 &&
                sequence_under(back.sequences, other) == 9223372036854775807 && back.own_sequences.size() == 1 &&
                sequence_under(back.own_sequences, key) == 3);
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
    const std::string line = "sequence " + hex_text(key.bytes, public_key_size) + " 7\n", files = body.substr(body.find("file "));
    const std::string refused[] = {"", good.substr(0, good.size() / 2), std::string(good).replace(good.find("file "), 4, "fila"),
                                   whole(body, "channel updates", "channel x.updates"), whole(body, "state 3", "state 4"),
                                   whole(body, "state 3\nchannel " + std::string(channel), "state 2\nsource " + std::string(url)),
                                   whole(body, "\nfile ", "\nfile x\nfile "), whole(body, line, "sequence 7\n"),
                                   whole(body, " 7\n", " 99999999999999999999999999\n"), whole(body, " 7\n", " 9223372036854775808\n"),
                                   whole(body, digest_a, std::string(digest_a).replace(38, 1, 1, '\0')),
                                   whole(body, digest_a, "A9993E364706816ABA3E25717850C26C9CD0D89D"), good + "x",
                                   whole(body, "complete\n" + files, files + "complete\n"), std::string(1 << 20, '\n') + "end x\n"};
    launcher_state none;
    EXPECT_FALSE(state_read((dir / "missing").c_str(), channel, url, &none));
    for (const auto& text : refused) {
        write_file(path, text);
        launcher_state none;
        EXPECT_LE(heap_count::peak_of([&] { EXPECT_FALSE(state_read(path.c_str(), channel, url, &none)) << text; }), text.size() + 4096);
        EXPECT_TRUE(none.files.empty() && none.sequences.empty() && !none.complete) << text;
    }
    std::filesystem::resize_file(path, (256 << 20) + 1);
    EXPECT_LE(heap_count::peak_of([&] { EXPECT_FALSE(state_read(path.c_str(), channel, url, &none)); }), 4096u);
    write_file(path, whole("velm-launcher state 1\nsource " + std::string(url) + "\nsequence 7\n" + files, "1", "1"));
    EXPECT_TRUE(state_read(path.c_str(), channel, url, &none) && none.sequence_floor == 7 && !none.complete && none.files.size() == 2);

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
