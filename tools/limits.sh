# The harness's time limits, in seconds: the one place where they are set. The tools' scripts
# source this file; CMake reads its NAME=VALUE lines for the tests' own limits.

# A new prefix's boot (tools/with-wine.sh): one try of wineboot, the boot's programs ending
# after the set-up, the clean-up of a try that hung, and how many tries there are.
TF_BOOT_TRY_LIMIT=180
TF_BOOT_SETTLE_LIMIT=120
TF_BOOT_CLEANUP_LIMIT=30
TF_BOOT_TRIES=4
# A booted prefix's services starting before a run.
TF_START_LIMIT=120
# One test, unless it names a limit of its own; a test that boots a prefix of its own gets the
# boot's worst case on top (TF_OWN_PREFIX_ALLOWANCE below).
TF_TEST_LIMIT=300
# All the runs of one architecture in make test (TALLYFOLD_RUN_LIMIT overrides it).
TF_RUN_LIMIT=3600

# Every try of a boot running to its limits, then the start.
TF_OWN_PREFIX_ALLOWANCE=$(( TF_BOOT_TRIES * (TF_BOOT_TRY_LIMIT + TF_BOOT_SETTLE_LIMIT + TF_BOOT_CLEANUP_LIMIT) + TF_START_LIMIT ))
