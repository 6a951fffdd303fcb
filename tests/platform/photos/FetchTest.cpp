#include "LibraryFixture.h"

using namespace photos;

namespace {
QDateTime at(int day, int hour = 12) {
    return QDateTime(QDate(2024, 5, day), QTime(hour, 0), Qt::UTC);
}
} // namespace

using FetchTest = LibraryContract;
LIBRARY_CONTRACT(FetchTest);

TEST_P(FetchTest, DateConditionsAreInclusiveAtBothBoundsAndSortEitherWay) {
    // Shotwell keeps times to the second.
    const int tick = GetParam() == LibraryKind::Shotwell ? 1000 : 1;
    const QString before = add({at(1, 11).addMSecs(-tick)});
    const QString lower = add({at(1, 11)});
    const QString upper = add({at(5, 13)});
    const QString inside = add({at(3)});
    const QString after = add({at(5, 13).addMSecs(tick)});
    const QString undated = add({std::nullopt});

    FetchOptions o;
    o.sortDescriptors = {{"creationDate", true}};
    o.predicate = Predicate::andPredicate(
        {Predicate::creationDateAtLeast(at(1, 11)), Predicate::creationDateAtMost(at(5, 13))});
    EXPECT_EQ(ids(lib->fetchAssets(MediaType::Image, o)), QStringList({lower, inside, upper}));
    o.predicate = Predicate::creationDateAtMost(at(1, 11));
    EXPECT_EQ(ids(lib->fetchAssets(MediaType::Image, o)), QStringList({before, lower}));
    o.predicate = Predicate::creationDateAtLeast(at(5, 13));
    o.sortDescriptors = {{"creationDate", false}};
    // A folder dates a picture that says nothing by its file's time (now), as import does.
    QStringList latest = {after, upper};
    if (GetParam() == LibraryKind::Folder)
        latest.prepend(undated);
    EXPECT_EQ(ids(lib->fetchAssets(MediaType::Image, o)), latest);

    // Without a predicate every image asset comes back, the undated one included.
    o.predicate.reset();
    EXPECT_EQ(lib->fetchAssets(MediaType::Image, o).size(), 6u);
    EXPECT_TRUE(ids(lib->fetchAssets(MediaType::Image, o)).contains(undated));
    EXPECT_TRUE(lib->fetchAssets(MediaType::Video, o).empty());
    o.sortDescriptors = {{"title", true}};
    EXPECT_THROW(lib->fetchAssets(MediaType::Image, o), PhotoLibraryError);
}

TEST_P(FetchTest, HiddenExcludedUnlessAskedAndTrashedNeverAppear) {
    const QString shown = add({at(1)});
    NewAsset h{at(2)};
    // A folder of files or a darktable library has no hidden items: it refuses to make one,
    // and shows all.
    const bool hides = GetParam() == LibraryKind::Catalogue;
    h.hidden = true;
    if (!hides) {
        EXPECT_THROW(add(h), PhotoLibraryError);
        h.hidden = false;
    }
    const QString hidden = add(h);
    const QString trashed = add({at(3)});
    auto albumPtr = album("Trip");
    lib->performChangesAndWait([&](ChangeRequests& c) {
        c.changeRequestForAssetCollection(albumPtr)->addAssets(
            std::vector<AssetPtr>{asset(shown), asset(hidden), asset(trashed)});
    });
    lib->performChangesAndWait([&](ChangeRequests& c) { c.deleteAssets({asset(trashed)}); });

    EXPECT_EQ(ids(lib->fetchAssets(MediaType::Image)),
              hides ? QStringList({shown}) : QStringList({shown, hidden}));
    FetchOptions withHidden;
    withHidden.includeHiddenAssets = true;
    EXPECT_EQ(ids(lib->fetchAssets(MediaType::Image, withHidden)), QStringList({shown, hidden}));
    EXPECT_TRUE(lib->fetchAssetsWithLocalIdentifiers({trashed}).empty());
    // A folder holds one "IMG.JPG": the second file it was given became "IMG (1).JPG".
    EXPECT_EQ(lib->fetchAssetsWithResource("IMG.JPG", 9).size(), hides ? 2u : 1u);
    // Album members the user put there are listed even when hidden; trashed ones never.
    EXPECT_EQ(ids(lib->fetchAssetsInAssetCollection(albumPtr)), QStringList({shown, hidden}));
    EXPECT_EQ(lib->fetchAssetCollectionsWithLocalIdentifiers({albumPtr->localIdentifier})
                  .at(0)
                  ->estimatedAssetCount,
              2);
}

TEST_P(FetchTest, EnumerationHandsOverWhatTheFetchReturnsInItsOrder) {
    NewAsset pair{at(2)};
    pair.resources = {{ResourceType::Photo, "public.jpeg", "jpegbytes"},
                      {ResourceType::AlternatePhoto, "com.adobe.raw-image", "rawbytes"}};
    const QString older = add({at(1)});
    const QString paired = add(pair);
    const QString newer = add({at(3)});
    add({at(4)});
    FetchOptions o;
    o.sortDescriptors = {{"creationDate", false}};
    o.predicate = Predicate::creationDateAtMost(at(3, 13));
    const std::vector<AssetPtr> fetched = lib->fetchAssets(MediaType::Image, o);
    ASSERT_EQ(ids(fetched), QStringList({newer, paired, older}));

    int counted = -1;
    std::vector<AssetPtr> visited;
    lib->enumerateAssets(
        MediaType::Image, o, [&](int total) { counted = total; },
        [&](const AssetPtr& a) {
            EXPECT_EQ(counted, 3) << "the number comes before the first asset";
            visited.push_back(a);
            // Other fetches may run meanwhile.
            EXPECT_EQ(lib->fetchAssetsWithLocalIdentifiers({a->localIdentifier}).size(), 1u);
            return true;
        });
    ASSERT_EQ(ids(visited), ids(fetched));
    for (size_t i = 0; i < fetched.size(); ++i) {
        EXPECT_EQ(visited[i]->creationDate, fetched[i]->creationDate);
        ASSERT_EQ(visited[i]->resources.size(), fetched[i]->resources.size());
        for (size_t r = 0; r < fetched[i]->resources.size(); ++r) {
            const AssetResource &v = *visited[i]->resources[r], &f = *fetched[i]->resources[r];
            EXPECT_EQ(v.assetLocalIdentifier, f.assetLocalIdentifier);
            EXPECT_EQ(v.ordinal, f.ordinal);
            EXPECT_EQ(v.type, f.type);
            EXPECT_EQ(v.uniformTypeIdentifier, f.uniformTypeIdentifier);
            EXPECT_EQ(v.originalFilename, f.originalFilename);
            EXPECT_EQ(v.fileSize, f.fileSize);
            EXPECT_EQ(v.storedPath, f.storedPath);
        }
    }
    if (GetParam() == LibraryKind::Catalogue) { // a catalogue reads each asset's rows together
        EXPECT_EQ(visited[1]->resources.size(), 2u);
    }

    // Nothing in the window: counted as none, nothing visited.
    o.predicate = Predicate::creationDateAtMost(at(1, 1));
    visited.clear();
    lib->enumerateAssets(
        MediaType::Image, o, [&](int total) { counted = total; },
        [&](const AssetPtr& a) {
            visited.push_back(a);
            return true;
        });
    EXPECT_EQ(counted, 0);
    EXPECT_TRUE(visited.empty());
    o.sortDescriptors = {{"title", true}};
    EXPECT_THROW(lib->enumerateAssets(
                     MediaType::Image, o, [](int) {}, [](const AssetPtr&) { return true; }),
                 PhotoLibraryError);
}

TEST_P(FetchTest, EnumerationStoppedOrFailedLeavesTheLibraryCurrent) {
    for (int day = 1; day <= 5; ++day)
        add({at(day)});
    int visits = 0;
    lib->enumerateAssets(
        MediaType::Image, {}, [](int) {}, [&](const AssetPtr&) { return ++visits < 2; });
    EXPECT_EQ(visits, 2) << "no asset after the one that said stop";

    struct Stop {};
    EXPECT_THROW(
        lib->enumerateAssets(
            MediaType::Image, {}, [](int) {}, [&](const AssetPtr&) -> bool { throw Stop{}; }),
        Stop);
    // Neither left a reading open that would hide what changes next.
    const QString later = add({at(6)});
    lib->performChangesAndWait([&](ChangeRequests& c) {
        c.deleteAssets({asset(ids(lib->fetchAssets(MediaType::Image)).front())});
    });
    for (int round = 0; round < 3; ++round) {
        QStringList seen;
        int total = 0;
        lib->enumerateAssets(
            MediaType::Image, {}, [&](int n) { total = n; },
            [&](const AssetPtr& a) {
                seen << a->localIdentifier;
                return true;
            });
        EXPECT_EQ(total, 5);
        EXPECT_EQ(seen, ids(lib->fetchAssets(MediaType::Image)));
        EXPECT_TRUE(seen.contains(later));
    }
}

TEST_P(FetchTest, EnumerationOfItemsWithEnoughPicturesGivesEachItsPlaceAmongAll) {
    NewAsset pair{at(2)};
    pair.resources = {{ResourceType::Photo, "public.jpeg", "jpegbytes"},
                      {ResourceType::AlternatePhoto, "com.adobe.raw-image", "rawbytes"}};
    const auto pairAt = [&](std::optional<QDateTime> date) {
        NewAsset made = pair;
        made.date = date;
        return made;
    };
    // Singles and pairs mixed, two pairs and a single on one date, undated ones of both kinds.
    for (const NewAsset& a :
         {NewAsset{at(1)}, pairAt(at(3)), pairAt(at(2)), NewAsset{at(2)}, pairAt(at(2)),
          NewAsset{std::nullopt}, pairAt(std::nullopt), NewAsset{at(4)}, pairAt(at(5))})
        add(a);
    // Sidecars are files but not pictures: a picture with one is no pair. darktable gives every
    // new item its sidecar; a catalogue keeps one as the item's adjustment data.
    if (GetParam() == LibraryKind::Catalogue)
        add({at(2),
             {{ResourceType::Photo, "public.jpeg", "jpegbytes"},
              {ResourceType::AdjustmentData, "com.adobe.xmp", "<x/>"}}});
    const bool sidecars = GetParam() == LibraryKind::Catalogue ||
                          GetParam() == LibraryKind::Darktable || GetParam() == LibraryKind::Folder;

    std::vector<FetchOptions> optionSets(4);
    optionSets[0].sortDescriptors = {{"creationDate", false}};
    optionSets[1].sortDescriptors = {{"creationDate", true}};
    optionSets[3].sortDescriptors = {{"creationDate", false}};
    optionSets[3].predicate = Predicate::creationDateAtMost(at(3, 13));
    for (const FetchOptions& o : optionSets) {
        const std::vector<AssetPtr> all = lib->fetchAssets(MediaType::Image, o);
        for (int minimum : {0, 2, 3}) {
            std::vector<std::pair<QString, int>> expected;
            bool sidecarPassedOver = false;
            for (size_t i = 0; i < all.size(); ++i) {
                if (pictureCount(*all[i]) >= minimum)
                    expected.emplace_back(all[i]->localIdentifier, int(i));
                else if (int(all[i]->resources.size()) >= minimum)
                    sidecarPassedOver = true;
            }
            if (minimum == 2) {
                EXPECT_EQ(sidecarPassedOver, sidecars);
            }
            int counted = -1;
            std::vector<std::pair<QString, int>> visited;
            lib->enumerateAssetsWithPictures(
                MediaType::Image, o, minimum, [&](int total) { counted = total; },
                [&](const AssetPtr& a, int position) {
                    EXPECT_EQ(counted, int(all.size())) << "the number of all comes first";
                    EXPECT_GE(pictureCount(*a), minimum);
                    visited.emplace_back(a->localIdentifier, position);
                    return true;
                });
            EXPECT_EQ(counted, int(all.size()));
            EXPECT_EQ(visited, expected) << "at least " << minimum << " files";
        }
    }
    // No asset after the one that said stop. (A folder names each new file apart, so the
    // pairs made here are two items there.)
    int twoPictures = 0;
    for (const AssetPtr& a : lib->fetchAssets(MediaType::Image, optionSets[0]))
        twoPictures += pictureCount(*a) >= 2;
    if (GetParam() != LibraryKind::Folder) {
        EXPECT_GE(twoPictures, 3);
    }
    int visits = 0;
    lib->enumerateAssetsWithPictures(
        MediaType::Image, optionSets[0], 2, [](int) {},
        [&](const AssetPtr&, int) { return ++visits < 2; });
    EXPECT_EQ(visits, std::min(twoPictures, 2));
    optionSets[0].sortDescriptors = {{"title", true}};
    EXPECT_THROW(lib->enumerateAssetsWithPictures(
                     MediaType::Image, optionSets[0], 2, [](int) {},
                     [](const AssetPtr&, int) { return true; }),
                 PhotoLibraryError);
}

TEST_P(FetchTest, AlbumsOfManyAssetsAreThoseOfEachAlone) {
    const QString a = add({at(1)}), b = add({at(2)}), c = add({at(3)});
    const CollectionPtr trip = album("Trip"), family = album("Family");
    lib->performChangesAndWait([&](ChangeRequests& changes) {
        changes.changeRequestForAssetCollection(trip)->addAssets(
            std::vector<AssetPtr>{asset(a), asset(b)});
        changes.changeRequestForAssetCollection(family)->addAssets(std::vector<AssetPtr>{asset(b)});
    });
    const std::vector<AssetPtr> assets = {asset(b), nullptr, asset(c), asset(a), asset(b)};
    const auto each = lib->fetchAssetCollectionsContainingAssets(assets, CollectionType::Album);
    ASSERT_EQ(each.size(), assets.size());
    const auto titles = [](const std::vector<CollectionPtr>& albums) {
        QStringList out;
        for (const CollectionPtr& album : albums)
            out << album->localIdentifier + "=" + album->localizedTitle.value_or("");
        return out;
    };
    for (size_t i = 0; i < assets.size(); ++i)
        EXPECT_EQ(titles(each[i]), titles(lib->fetchAssetCollectionsContainingAsset(
                                       assets[i], CollectionType::Album)))
            << i;
    EXPECT_EQ(titles(each[0]).size(), 2);
    EXPECT_TRUE(each[1].empty() && each[2].empty());
}
