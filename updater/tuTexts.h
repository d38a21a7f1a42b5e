// The texts the updater shows: catalogue section "tvu", each key with its
// English default. Every text goes through the catalogue (Tr), so the Russian
// and Ukrainian sources in updater/lng/ hold the same keys with the same
// format arguments.
#pragma once

#include <array>
#include <string_view>

namespace tarvo::updater {

inline constexpr std::string_view kTextSection = "tvu";

struct TUpdaterText {
  std::string_view key;
  std::string_view english;
};

inline constexpr std::array<TUpdaterText, 38> kUpdaterTexts{{
    {"UpdateCaption", "Updating %s..."},
    {"RestoreCaption", "Restoring %s..."},
    {"NoTarvoApp", "No Orvanta product found in folder \"%s\"."},
    {"RunningApp",
     "Close all running copies of \"%s\".\r\n\r\n\"%0:s\" is still running. Application cannot be "
     "modified while running. Exit it and press \"OK\"."},
    {"FileNotFound", "File \"%s\" is not found"},
    {"InvalidFileList", "Modification file list \"%s\" has invalid format"},
    {"BadFileList", "No target application specified in file \"%s\""},
    {"EmptyFileList", "Modification file list \"%s\" is empty"},
    {"NoUpdateFiles",
     "No updates found for \"%s\".\r\nRun \"%0:s\" and download updates first.\r\n\r\n%1:s."},
    {"NoRollbackFiles",
     "No restore information found for \"%s\".\r\nProbably no updates were ever applied to the "
     "program.\r\n\r\n%1:s."},
    {"SureToRollback", "Are you sure to restore previous version of \"%s\"?"},
    {"UpdateMismatch",
     "The update is not intended for this copy of \"%s\".\r\n\r\nThis copy installed into folder "
     "\"%s\",\r\nbut update is for \"%s\"."},
    {"RollbackMismatch",
     "Can't restore previous version of this copy of \"%s\".\r\n\r\nThis copy installed into "
     "folder "
     "\"%s\",\r\nbut restore information is for \"%s\"."},
    {"Backuping", "Backuping file: %s"},
    {"BackupFailed",
     "Failed to backup current application version.\r\nIn case of error you won't be able to "
     "restore it. Continue anyway?\r\n\r\nCan't backup file \"%s\".\r\nError %d: %s."},
    {"CopyingFile", "Copying file: %s"},
    {"DeletingFile", "Deleting file: %s"},
    {"CopyError", "Error %s \"%s\".\r\n\r\nFailed to %s file \"%s\".\r\nError %d: %s."},
    {"ModeUpdate", "updating"},
    {"ModeRestore", "restoring"},
    {"FileOpUpdate", "create"},
    {"FileOpDelete", "delete"},
    {"AccessDeniedHint",
     "Perhaps you don't have write permissions for specified folder.\r\nRun \"%s %s\" utility with "
     "administrative privileges or ask your system administrator for assistance."},
    {"FileLockedHint", "Close all programs and try again."},
    {"DiskFullHint", "Free some space on disk %s: and try again."},
    {"SourceFileMissing", "Error %s \"%s\".\r\n\r\nSource file \"%s\" not found."},
    {"RollingBack", "Rolling back modifications..."},
    {"UpdateSoftFailure",
     "\"%s\" updating failed: some of new files could not be copied, update was rolled "
     "back.\r\n\r\nTry to install this update later by running %s with administrative privileges."},
    {"UpdateHardFailure",
     "\"%s\" updating failed: some of new files could not be copied, update could not be rolled "
     "back.\r\n\r\nWARNING: application state is inconsistent!\r\nRE-INSTALL \"%s\"."},
    {"RestoreSoftFailure",
     "Failed to restore previous version of \"%s\": some of files could not be "
     "restored.\r\n\r\nCurrent application version were kept."},
    {"RestoreHardFailure",
     "Failed to restore previous version of \"%s\": some of files could not be "
     "restored.\r\n\r\nWARNING: application state is inconsistent!\r\nRE-INSTALL \"%s\"."},
    {"RollbackOk", "Previous version of \"%s\" successfully restored."},
    {"UpdatedOk", "\"%s\" successfully updated. Please start the program manually."},
    {"LaunchingApp", "Launching %s..."},
    {"LaunchFailure", "Failed to launch %s.\r\n\r\nError %d: %s.\r\n\"%s\""},
    {"UpdateUtility", "Update"},
    {"RollbackUtility", "Rollback"},
    {"ElevationNeeded",
     "Not enough permissions to modify system registry.\r\nRun \"%s %s\" utility with "
     "administrative privileges?"},
}};

}  // namespace tarvo::updater
