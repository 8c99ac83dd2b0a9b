# The test programs of the Windows cross build (MinGW-w64), run under Wine through kv-wine,
# a wrapper generated into the build tree (see wine-run.sh.in). Every test registered here has
# the label "windows": ctest -L windows.
set(KV_TESTS_WINDOWS_DIR ${CMAKE_CURRENT_LIST_DIR})
set(KV_WINE_PREFIX ${CMAKE_BINARY_DIR}/wine-prefix)
# Programs Wine runs as on Windows 98 (the 9x family): the ASPI transport's.
set(KV_WINE_WIN98_PROGRAMS aspi_transport_tests.exe)
find_program(KV_WINESERVER NAMES wineserver wineserver64)
if(NOT KV_WINE OR NOT KV_WINESERVER)
  message(WARNING "Wine not found: the Windows test programs are built but cannot run (install wine wine64)")
  set(KV_WINE wine)
  set(KV_WINESERVER wineserver)
endif()
list(JOIN KV_WINE_WIN98_PROGRAMS " " KV_WINE_WIN98_PROGRAMS)
configure_file(${KV_TESTS_WINDOWS_DIR}/wine-run.sh.in ${CMAKE_BINARY_DIR}/kv-wine @ONLY
               FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(KV_WINE_RUN ${CMAKE_BINARY_DIR}/kv-wine)
# The first discovery may have to create the Wine prefix.
set(KV_WINDOWS_DISCOVERY_TIMEOUT 240)

# A test program or test library for Windows: linked statically, so Wine needs no MinGW DLL
# beside it, with the POSIX shims the tests use, and run through kv-wine.
function(kv_windows_test_target target)
  target_link_options(${target} PRIVATE -static)
  target_compile_options(${target} PRIVATE -include ${KV_TESTS_WINDOWS_DIR}/Compat.h)
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "EXECUTABLE")
    set_target_properties(${target} PROPERTIES CROSSCOMPILING_EMULATOR ${KV_WINE_RUN})
  endif()
endfunction()

# What of each program stays out on Windows, and why. KV_WINDOWS_SKIP_SOURCES_<program>: source
# files that test the Linux stand-in itself; KV_WINDOWS_SKIP_CASES_<program>: gtest filter
# patterns (":"-separated) of cases that need Linux.
# The engine and command-line program's tests, and the Wine peer cycle (keelvane-cli.exe under
# Wine in a QEMU guest against tgt's writers). Left out: the desktop (no Qt for Windows here),
# robustness (its soak spawns the program with posix_spawn; its fault matrix runs the Linux
# CLI's sessions), fuzz replays (the fuzzers run on Linux), install (the Debian installed tree).
set(KV_WINDOWS_TEST_DIRS platform vdrive scsi aspi mmc burner audio cli peer)

# The platform layer's Linux stand-in: SG_IO, and drive letters from the kernel's /dev/sr*
# devices with their open modes, permissions and errno values.
set(KV_WINDOWS_SKIP_SOURCES_platform_tests SgIoTest.cpp DrivesTest.cpp)
# NT 5.1 is the stand-in's answer (Wine's is its own); libm.so.6 and /dev/null are Linux files.
set(KV_WINDOWS_SKIP_CASES_platform_tests
    "System.VersionIsNt51UnlessOverridden:System.LibrariesLoadByBareNameAndResolveEntries:PassThrough.IoctlErrorsOnKernelDevicesFailCleanly")
set(KV_WINDOWS_SKIP_CASES_scsi_tests "Spti.DrivesThatCannotBeOpenedOrAskedAreLeftOut")
# Killed burns in forked children, and CUE sheets with planted symbolic links (O_NOFOLLOW).
set(KV_WINDOWS_SKIP_SOURCES_vdrive_tests PersistenceTest.cpp)
# The version-resource stand-in's own choices: UTF-8 texts (Windows' A functions give the ANSI
# code page) and its error codes for malformed files (Windows reports others).
set(KV_WINDOWS_SKIP_CASES_aspi_version_tests
    "VersionResource.TextsAreUtf8AndStayIntactAcrossQueries:VersionResource.FilesWithoutAWellFormedVersionResourceReportNone:VersionResource.ABufferSmallerThanReportedIsRefusedNotTruncated")
# Linux tools the cases run (sox, soxi, xorriso), kernel device paths standing in for drives,
# and the Linux installed tree and XDG data folders. (SptiBurn and the CLI's spti-burn case burn
# images on the Windows side.)
set(KV_WINDOWS_SKIP_CASES_kv_burner_tests
    "AudioBurn.SoxWavesBurnByteForByte:VirtualBurn.IsoBurnsAsOneClosedDataTrack:BurnerList.OrderAddressesAndDrivesThatCannotBeAsked:BurnerList.OpenModeFollowsTheSystemVersion:RescueImage.RescueImageRule:RescueImage.RescueImageFoundWhereAPackagePutsIt:RescueImage.UserDataFolderFollowsTheXdgRules")
set(KV_WINDOWS_SKIP_CASES_audio_tests "Formats/SoxWave.*")
# The stand-in's handle table and last error: handle values never reused, bogus values all
# refused, the last error kept across other calls. Windows reuses closed handles' values, takes
# INVALID_HANDLE_VALUE as the current process, and any system call (a thread's start and join
# here) may change the last error.
set(KV_WINDOWS_SKIP_CASES_platform_tests
    "${KV_WINDOWS_SKIP_CASES_platform_tests}:Handles.BogusAndClosedHandlesAreRefused:Handles.ConcurrentCreateAndCloseGiveDistinctHandles:System.LastErrorIsPerThread")
