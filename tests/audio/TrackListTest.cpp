// TCDTrackItem and TCDTrackList: display text, assignment, list access and persistence.
#include <gtest/gtest.h>

#include <algorithm>
#include <string_view>

#include "WaveTestSupport.h"
#include "audio/AudioUnit.h"

using namespace wavetest;

namespace {

class Separators {
public:
    Separators() { SetLocaleSeparators(":", "."); }
    ~Separators() { SetLocaleSeparators(std::nullopt, std::nullopt); }
};

// A CD-format wave header declaring Bytes of samples, with only a few actually present: the
// display uses the declared size, so long play times need no large files.
Bytes DeclaredCdWave(std::uint32_t DeclaredBytes)
{
    return Riff(Concat({Chunk("fmt ", FmtBody(1, 2, 44100, 16)), Chunk("data", Samples(16), DeclaredBytes)}));
}

TEST(CDTrackItem, DisplayText)
{
    const Separators sep;
    struct {
        const char* Name;
        Bytes Content;
        const char* Text;
    } const cases[] = {
        {"Track 1", {}, "Track 1 (Empty)"},
        {"", {}, " (Empty)"},
        {"Noise", Samples(300), "Noise (Invalid Content)"},
        {"Track 1", DeclaredCdWave(36232560), "Track 1 (PCM 44.100 kHz, 16 Bit, Stereo, 1411 kbps, 3:25.40 sec.)"},
        {"Long", DeclaredCdWave(656737200), "Long (PCM 44.100 kHz, 16 Bit, Stereo, 1411 kbps, 1:02:03.00 sec.)"},
        {"Short", DeclaredCdWave(7959168), "Short (PCM 44.100 kHz, 16 Bit, Stereo, 1411 kbps, 45.12 sec.)"},
        {"Mono", Riff(Concat({Chunk("fmt ", FmtBody(1, 1, 22050, 8)), Chunk("data", Samples(11025))})),
         "Mono (PCM 22.050 kHz, 8 Bit, Mono, 176 kbps, 0.50 sec.)"},
    };
    for (const auto& c : cases) {
        TCDTrackItem item(nullptr);
        item.Name = c.Name;
        Load(*item.CDTrack(), c.Content);
        EXPECT_EQ(item.DisplayName(), c.Text);
    }
}

TEST(CDTrackItem, GarbageThenWaveInTheSameTrack)
{
    const Separators sep;
    TCDTrackItem item(nullptr);
    item.Name = "T";
    Load(*item.CDTrack(), Samples(64));
    EXPECT_EQ(item.DisplayName(), "T (Invalid Content)");
    Load(*item.CDTrack(), CdWave(Samples(176400)));
    EXPECT_EQ(item.DisplayName(), "T (PCM 44.100 kHz, 16 Bit, Stereo, 1411 kbps, 1.00 sec.)");
}

TEST(CDTrackItem, AssignCopiesNameTagAndBytesIntoItsOwnTrack)
{
    TCDTrackList list(nullptr);
    TCDTrackItem& source = list.Add();
    TCDTrackItem& target = list.Add();
    source.Name = "Source";
    source.Tag = -42;
    const Bytes wave = CdWave(Samples(500));
    Load(*source.CDTrack(), wave);
    source.CDTrack()->SetPosition(17);
    TCDTrack* const ownTrack = target.CDTrack();

    target.Assign(&source);
    EXPECT_EQ(target.Name, "Source");
    EXPECT_EQ(target.Tag, -42);
    EXPECT_EQ(target.CDTrack(), ownTrack) << "the entry keeps its own track object";
    ASSERT_EQ(target.CDTrack()->Size(), static_cast<std::int64_t>(wave.size()));
    EXPECT_TRUE(std::equal(wave.begin(), wave.end(), target.CDTrack()->Memory()));
    EXPECT_EQ(source.CDTrack()->Position(), 17) << "the source is only read";
    EXPECT_TRUE(target.CDTrack()->IsValid());

    // Independent copies: a change to one leaves the other alone.
    source.CDTrack()->SetPosition(0);
    source.CDTrack()->WriteBuffer("JUNK", 4);
    EXPECT_FALSE(source.CDTrack()->IsValid());
    EXPECT_TRUE(target.CDTrack()->IsValid());

    // Assigning an entry with an empty track empties this one.
    TCDTrackItem empty(nullptr);
    target.Assign(&empty);
    EXPECT_EQ(target.CDTrack()->Size(), 0);
    EXPECT_EQ(target.Name, "");
    EXPECT_EQ(target.Tag, 0);

    target.Assign(&target);   // onto itself: nothing changes, nothing breaks

    list.Delete(1);
    list.Delete(0);
    EXPECT_EQ(list.Count(), 0);
}

TEST(CDTrackItem, AssignFromAnotherClassIsRefused)
{
    TCDTrackItem item(nullptr);
    TCDTrackList list(nullptr);
    try {
        item.Assign(&list);
        FAIL() << "no exception";
    } catch (const EConvertError& e) {
        EXPECT_STREQ(e.what(), "Cannot assign a TCDTrackList to a TCDTrackItem");
    }
    try {
        item.Assign(nullptr);
        FAIL() << "no exception";
    } catch (const EConvertError& e) {
        EXPECT_STREQ(e.what(), "Cannot assign a nil to a TCDTrackItem");
    }
}

TEST(CDTrackList, EntriesOwnerAndIndexErrors)
{
    TCDTrackList owner(nullptr);
    TCDTrackList list(&owner);
    EXPECT_EQ(list.GetOwner(), &owner);
    EXPECT_EQ(owner.GetOwner(), nullptr);
    EXPECT_EQ(list.Count(), 0);
    EXPECT_THROW(list.Items(0), EListError);

    TCDTrackItem& a = list.Add();
    TCDTrackItem& b = list.Add();
    a.Name = "a";
    b.Name = "b";
    EXPECT_EQ(list.Count(), 2);
    EXPECT_EQ(&list.Items(1), &b);
    EXPECT_EQ(a.Index(), 0);
    EXPECT_EQ(b.Index(), 1);
    EXPECT_EQ(a.Collection(), &list);
    EXPECT_NE(a.CDTrack(), nullptr);
    EXPECT_NE(a.CDTrack(), b.CDTrack());

    for (int bad : {-1, 2, 1000}) {
        try {
            list.Items(bad);
            FAIL() << bad;
        } catch (const EListError& e) {
            EXPECT_EQ(std::string(e.what()), "List index out of bounds (" + std::to_string(bad) + ")");
        }
    }
    list.Delete(0);
    EXPECT_EQ(b.Index(), 0);
    EXPECT_EQ(list.Items(0).Name, "b");
    EXPECT_THROW(list.Delete(1), EListError);

    TCDTrackItem loose(nullptr);
    EXPECT_EQ(loose.Index(), -1);
}

// A list of any other entry class is refused by the typed accessors.
TEST(CDTrackList, ForeignEntryClassIsRefused)
{
    struct TOther : TCollectionItem {
        using TCollectionItem::TCollectionItem;
        std::string ClassName() const override { return "TOther"; }
    };
    TCDTrackList list(nullptr, [](TCollection* c) -> std::unique_ptr<TCollectionItem> {
        return std::make_unique<TOther>(c);
    });
    EXPECT_THROW(list.Add(), EConvertError);
    EXPECT_EQ(list.Count(), 0);
}

Bytes Saved(TCDTrackList& List)
{
    TMemoryStream m;
    List.SaveToStream(m);
    return Bytes(m.Memory(), m.Memory() + m.Size());
}

bool Contains(const Bytes& B, std::string_view Text)
{
    return std::search(B.begin(), B.end(), Text.begin(), Text.end()) != B.end();
}

TEST(CDTrackList, PersistenceRoundTrip)
{
    TCDTrackList list(nullptr);
    const Bytes wave = CdWave(Samples(3000));
    const Bytes noise = Samples(77, 5);
    {
        TCDTrackItem& a = list.Add();
        a.Name = "Track 1";
        a.Tag = 7;
        Load(*a.CDTrack(), wave);
        a.CDTrack()->Seek(0, TSeekOrigin::soEnd);   // saved from offset 0 whatever the position
        list.Add();                                  // unnamed, tag 0, empty
        TCDTrackItem& c = list.Add();
        c.Name = "N\xC3\xA4me";
        c.Tag = -1;
        Load(*c.CDTrack(), noise);
    }
    const Bytes stream = Saved(list);

    TCDTrackList loaded(nullptr);
    loaded.Add().Name = "replaced by the load";
    TMemoryStream m;
    Load(m, stream);
    loaded.LoadFromStream(m);
    ASSERT_EQ(loaded.Count(), 3);
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        TCDTrackItem& was = list.Items(i);
        TCDTrackItem& now = loaded.Items(i);
        EXPECT_EQ(now.Name, was.Name);
        EXPECT_EQ(now.Tag, was.Tag);
        EXPECT_EQ(Bytes(now.CDTrack()->Memory(), now.CDTrack()->Memory() + now.CDTrack()->Size()),
                  Bytes(was.CDTrack()->Memory(), was.CDTrack()->Memory() + was.CDTrack()->Size()));
    }
    EXPECT_TRUE(loaded.Items(0).CDTrack()->Modified()) << "loaded bytes are parsed on the next IsValid";
    EXPECT_TRUE(loaded.Items(0).CDTrack()->IsValid());
    EXPECT_EQ(loaded.Items(0).CDTrack()->DataSize(), 3000u);
    EXPECT_FALSE(loaded.Items(2).CDTrack()->IsValid());
    EXPECT_EQ(Saved(loaded), stream) << "saving what was loaded gives the same stream";
}

TEST(CDTrackList, DefaultsAndEmptyTracksAreNotStored)
{
    TCDTrackList list(nullptr);
    list.Add();
    const Bytes stream = Saved(list);
    EXPECT_FALSE(Contains(stream, "Data"));
    EXPECT_FALSE(Contains(stream, "Name"));
    EXPECT_FALSE(Contains(stream, "Tag"));
    // Signature, version, one item opened and closed, the list closed.
    EXPECT_EQ(stream, (Bytes{'K', 'V', 'P', 'S', 1, 1, 0, 0}));

    list.Items(0).Name = "x";
    list.Items(0).Tag = 3;
    Load(*list.Items(0).CDTrack(), Bytes{9});
    const Bytes full = Saved(list);
    EXPECT_TRUE(Contains(full, "Data"));
    EXPECT_TRUE(Contains(full, "Name"));
    EXPECT_TRUE(Contains(full, "Tag"));
}

// Every cut of a saved stream fails with EReadError and leaves the list empty; forged lengths
// are refused before anything is allocated; unknown properties are skipped.
TEST(CDTrackList, MalformedStreams)
{
    TCDTrackList list(nullptr);
    TCDTrackItem& a = list.Add();
    a.Name = "abc";
    a.Tag = 9;
    Load(*a.CDTrack(), CdWave(Samples(40)));
    const Bytes stream = Saved(list);

    for (std::size_t n = 0; n < stream.size(); ++n) {
        SCOPED_TRACE(n);
        TCDTrackList target(nullptr);
        target.Add();
        TMemoryStream m;
        Load(m, Bytes(stream.begin(), stream.begin() + n));
        EXPECT_THROW(target.LoadFromStream(m), EReadError);
        EXPECT_EQ(target.Count(), 0);
    }

    // Item with a "Data" property of forged length FFFFFFFFh.
    const Bytes forged = {'K', 'V', 'P', 'S', 1, 1, 4, 'D', 'a', 't', 'a', 4, 0xFF, 0xFF, 0xFF, 0xFF, 1, 2, 0, 0};
    // A "Name" holding an integer.
    const Bytes wrongType = {'K', 'V', 'P', 'S', 1, 1, 4, 'N', 'a', 'm', 'e', 2, 1, 0, 0, 0, 0, 0};
    const Bytes badSignature = {'K', 'V', 'P', 'X', 1, 0};
    const Bytes badVersion = {'K', 'V', 'P', 'S', 2, 0};
    const Bytes badType = {'K', 'V', 'P', 'S', 1, 1, 1, 'X', 9, 0, 0};
    for (const Bytes* bad : {&forged, &wrongType, &badSignature, &badVersion, &badType}) {
        TCDTrackList target(nullptr);
        TMemoryStream m;
        Load(m, *bad);
        EXPECT_THROW(target.LoadFromStream(m), EReadError);
        EXPECT_EQ(target.Count(), 0);
    }

    const Bytes unknown = {'K', 'V', 'P', 'S', 1, 1, 5, 'C', 'o', 'l', 'o', 'r', 2, 1, 0, 0, 0,
                           3, 'X', 'y', 'z', 4, 2, 0, 0, 0, 7, 7, 3, 'T', 'a', 'g', 2, 5, 0, 0, 0, 0, 0};
    TCDTrackList target(nullptr);
    TMemoryStream m;
    Load(m, unknown);
    ASSERT_NO_THROW(target.LoadFromStream(m));
    ASSERT_EQ(target.Count(), 1);
    EXPECT_EQ(target.Items(0).Tag, 5);
}

}  // namespace
