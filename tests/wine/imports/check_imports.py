"""Checks the import tables of the shipped Windows binaries against the oldest Windows each must
load on. A program that statically imports a function its Windows lacks does not start at all
(the loader refuses it before any code runs), so the launcher could not even show its refusal
page on Windows XP.

Rules:
  xp     otSetup.exe and the demo payload programs: nothing Windows XP SP3 lacks
  vista  OrvUnzip.dll: nothing Windows Vista SP2 lacks
  every binary: imports only from the system DLLs in SYSTEM_DLLS (by name, never by ordinal),
  a subsystem version the target Windows accepts, and the PE machine of the build tree.

Functions are matched by name against lists of what each Windows added (patterns as in
fnmatch, case-sensitive); delay-load imports count like ordinary ones. A binary that has not
been built is reported as skipped; the exit code is 1 when any check failed, else 77 when any
binary was missing, else 0.

    check_imports.py --bin-dir <build>/bin --arch x86|x64 [--search DIR]...
                     [--xp FILE]... [--vista FILE]...
"""

from __future__ import annotations

import argparse
import fnmatch
import os
import sys
from dataclasses import dataclass, field
from pathlib import Path

import pefile

SYSTEM_DLLS = {
    "kernel32", "user32", "gdi32", "advapi32", "shell32", "ole32", "comctl32", "comdlg32",
    "msvcrt", "ntdll", "shlwapi", "version", "oleaut32", "uxtheme",
}

# Introduced with Windows Vista (absent from XP SP3). "*" applies to every DLL.
NEWER_THAN_XP = {
    "kernel32": [
        "GetTickCount64",
        "InitOnce*",
        "*ConditionVariable*",
        "*SRWLock*",
        "Fls*",
        "SetDefaultDllDirectories", "AddDllDirectory", "RemoveDllDirectory",
        "CreateSymbolicLink*",
        "GetFileInformationByHandleEx", "SetFileInformationByHandle", "OpenFileById",
        "GetFinalPathNameByHandle*",
        "GetVolumeInformationByHandleW",
        "*Transacted*",
        "FindFirstFileName*", "FindNextFileName*", "FindFirstStream*", "FindNextStream*",
        "ReOpenFile",
        "CancelIoEx", "CancelSynchronousIo",
        "GetQueuedCompletionStatusEx", "SetFileCompletionNotificationModes",
        "SetFileBandwidthReservation", "GetFileBandwidthReservation",
        "SetFileIoOverlappedRange",
        "CreateEventEx*", "CreateMutexEx*", "CreateSemaphoreEx*", "CreateWaitableTimerEx*",
        "QueryFullProcessImageName*",
        "GetProductInfo",
        "GetErrorMode",
        "Wow64DisableWow64FsRedirection", "Wow64RevertWow64FsRedirection",
        "Wow64EnableWow64FsRedirection", "Wow64GetThreadContext", "Wow64SetThreadContext",
        "GetThreadId", "GetProcessIdOfThread",
        "*Threadpool*", "CallbackMayRunLong", "DisassociateCurrentThreadFromCallback",
        "FreeLibraryWhenCallbackReturns", "LeaveCriticalSectionWhenCallbackReturns",
        "ReleaseMutexWhenCallbackReturns", "ReleaseSemaphoreWhenCallbackReturns",
        "SetEventWhenCallbackReturns",
        "InitializeCriticalSectionEx",
        "FlushProcessWriteBuffers",
        "InterlockedCompareExchange64",
        "QueryThreadCycleTime", "QueryProcessCycleTime", "QueryIdleProcessorCycleTime",
        "GetNamedPipeClient*", "GetNamedPipeServer*", "GetNamedPipeClientComputerName*",
        "GetDynamicTimeZoneInformation", "SetDynamicTimeZoneInformation",
        "GetTimeZoneInformationForYear",
        "InitializeProcThreadAttributeList", "UpdateProcThreadAttribute",
        "DeleteProcThreadAttributeList",
        "RegisterApplicationRestart", "UnregisterApplicationRestart",
        "RegisterApplicationRecoveryCallback", "UnregisterApplicationRecoveryCallback",
        "ApplicationRecoveryInProgress", "ApplicationRecoveryFinished",
        "GetApplicationRestartSettings", "GetApplicationRecoveryCallback",
        "Wer*",
        "CreateFileMappingNuma*", "VirtualAllocExNuma", "MapViewOfFileExNuma",
        "GetLargePageMinimum",
        "CreateBoundaryDescriptor*", "DeleteBoundaryDescriptor", "AddSIDToBoundaryDescriptor",
        "CreatePrivateNamespace*", "OpenPrivateNamespace*", "ClosePrivateNamespace",
        "SetProcessWorkingSetSizeEx", "GetProcessWorkingSetSizeEx",
        "SetThreadStackGuarantee",
        "IsThreadAFiber",
        "EnumSystemFirmwareTables", "GetSystemFirmwareTable",
        "NeedCurrentDirectoryForExePath*",
        "GetPhysicallyInstalledSystemMemory",
        "GetCurrentProcessorNumber",
        "AddSecureMemoryCacheCallback", "RemoveSecureMemoryCacheCallback",
        "GetConsoleScreenBufferInfoEx", "SetConsoleScreenBufferInfoEx",
        "GetCurrentConsoleFontEx", "SetCurrentConsoleFontEx",
        "GetConsoleHistoryInfo", "SetConsoleHistoryInfo", "GetConsoleOriginalTitle*",
        # Locale names instead of LCIDs, and the other Vista NLS additions.
        "GetLocaleInfoEx", "SetLocaleInfoEx", "GetUserDefaultLocaleName",
        "GetSystemDefaultLocaleName", "LCIDToLocaleName", "LocaleNameToLCID",
        "CompareStringEx", "CompareStringOrdinal", "LCMapStringEx", "FindNLSString*",
        "GetDateFormatEx", "GetTimeFormatEx", "GetNumberFormatEx", "GetCurrencyFormatEx",
        "GetDurationFormat*", "EnumSystemLocalesEx", "EnumDateFormatsExEx",
        "EnumTimeFormatsEx", "EnumCalendarInfoExEx", "GetCalendarInfoEx",
        "IsValidLocaleName", "GetStringScripts", "VerifyScripts", "GetNLSVersionEx",
        "IsNLSDefinedString", "NormalizeString", "IsNormalizedString", "Idn*",
        "GetUserPreferredUILanguages", "GetSystemPreferredUILanguages",
        "GetThreadPreferredUILanguages", "SetThreadPreferredUILanguages",
        "GetProcessPreferredUILanguages", "SetProcessPreferredUILanguages",
        "GetUILanguageInfo", "GetThreadUILanguage", "GetFileMUIPath", "GetFileMUIInfo",
    ],
    "user32": [
        "SetProcessDPIAware", "IsProcessDPIAware",
        "ChangeWindowMessageFilter",
        "ShutdownBlockReason*",
        "AddClipboardFormatListener", "RemoveClipboardFormatListener",
        "GetUpdatedClipboardFormats",
        "RegisterPowerSettingNotification", "UnregisterPowerSettingNotification",
        "LogicalToPhysicalPoint", "PhysicalToLogicalPoint", "WindowFromPhysicalPoint",
        "UpdateLayeredWindowIndirect",
        "IsThreadDesktopComposited",
    ],
    "advapi32": [
        "RegGetValue*", "RegDeleteTree*", "RegCopyTree*", "RegDeleteKeyEx*",
        "RegSetKeyValue*", "RegDeleteKeyValue*", "RegLoadMUIString*", "RegLoadAppKey*",
        "RegDisableReflectionKey", "RegEnableReflectionKey", "RegQueryReflectionKey",
        "RegDisablePredefinedCacheEx",
        "EventRegister", "EventUnregister", "EventWrite*", "EventEnabled",
        "EventProviderEnabled", "EventActivityIdControl",
        "AddMandatoryAce",
        "TreeSetNamedSecurityInfo*", "TreeResetNamedSecurityInfo*",
        "CreateProcessWithTokenW",
        "ControlServiceEx*", "NotifyServiceStatusChange*",
        "Audit*",
        "OpenThreadWaitChainSession", "CloseThreadWaitChainSession", "GetThreadWaitChain",
        "RegisterWaitChainCOMCallback",
    ],
    "shell32": [
        "SHGetKnownFolder*", "SHSetKnownFolderPath",
        "SHCreateItem*", "SHCreateShellItemArray*",
        "SHGetIDListFromObject", "SHGetItemFromObject", "SHGetItemFromDataObject",
        "SHGetNameFromIDList", "SHGetPropertyStoreFromParsingName",
        "SHGetPropertyStoreFromIDList", "SHGetTemporaryPropertyForItem",
        "SHSetTemporaryPropertyForItem",
        "SHGetStockIconInfo", "SHOpenWithDialog", "SHQueryUserNotificationState",
        "SHEvaluateSystemCommandTemplate", "SHAssocEnumHandlers*",
        "SHCreateDefaultContextMenu", "SHCreateDefaultExtractIcon",
        "SHCreateDefaultPropertiesOp", "SHAddDefaultPropertiesByExt",
        "SHGetDriveMedia", "SHGetLocalizedName", "SHSetLocalizedName",
        "SHRemoveLocalizedName", "SHGetPathFromIDListEx", "SHBindToFolderIDListParent*",
        "SHCreateAssociationRegistration", "SHChangeNotifyRegisterThread",
        "InitNetworkAddressControl", "AssocGetDetailsOfPropKey",
    ],
    "comctl32": [
        "TaskDialog*", "LoadIconMetric", "LoadIconWithScaleDown",
        "ImageList_CoCreateInstance", "ImageList_ReadEx", "ImageList_WriteEx",
    ],
    "ole32": ["CoDisconnectContext"],
    "gdi32": ["D3DKMT*"],
    "ntdll": [
        "RtlRunOnce*", "Rtl*SRWLock*", "Rtl*ConditionVariable*", "RtlGetProductInfo",
        "Tp[A-Z]*",
    ],
    "*": ["*Ex2"],
}

# Introduced with Windows 7 or later (absent from Vista SP2).
NEWER_THAN_VISTA = {
    "kernel32": [
        "TryAcquireSRWLock*",
        "SetDefaultDllDirectories", "AddDllDirectory", "RemoveDllDirectory",
        "GetActiveProcessor*", "GetMaximumProcessor*", "GetLogicalProcessorInformationEx",
        "GetCurrentProcessorNumberEx", "GetThreadGroupAffinity", "SetThreadGroupAffinity",
        "GetThreadIdealProcessorEx", "SetThreadIdealProcessorEx", "GetProcessGroupAffinity",
        "GetNumaNodeProcessorMaskEx", "GetNumaProximityNodeEx", "GetNumaAvailableMemoryNodeEx",
        "K32*",
        "QueryUnbiasedInterruptTime",
        "RaiseFailFastException",
        "GetThreadErrorMode", "SetThreadErrorMode",
        "PowerCreateRequest", "PowerSetRequest", "PowerClearRequest",
        "CreateRemoteThreadEx", "SetWaitableTimerEx",
        "*XState*", "CopyContext", "InitializeContext",
        "EnableThreadProfiling", "DisableThreadProfiling", "QueryThreadProfiling",
        "ReadThreadProfilingData",
        "AddIntegrityLabelToBoundaryDescriptor",
        "*Ums*",
        "ResolveLocaleName", "FindStringOrdinal",
        # Windows 8 and later.
        "CreateFile2", "CopyFile2", "GetSystemTimePreciseAsFileTime", "GetOverlappedResultEx",
        "GetCurrentThreadStackLimits", "GetFirmwareType", "GetFirmwareEnvironmentVariableEx*",
        "SetFirmwareEnvironmentVariableEx*",
        "LoadPackagedLibrary", "GetPackage*", "GetCurrentPackage*", "PackageFamilyName*",
        "PackageFullName*", "PackageId*",
        "ResolveDelayLoadedAPI", "ResolveDelayLoadsFromDll",
        "PrefetchVirtualMemory", "DiscardVirtualMemory", "OfferVirtualMemory",
        "ReclaimVirtualMemory",
        "SetProcessMitigationPolicy", "GetProcessMitigationPolicy",
        "SetThreadInformation", "GetThreadInformation", "SetProcessInformation",
        "GetProcessInformation",
        "InitializeSynchronizationBarrier", "EnterSynchronizationBarrier",
        "DeleteSynchronizationBarrier",
        "WaitOnAddress", "WakeByAddress*",
        "GetGeoInfoEx", "GetUserDefaultGeoName", "SetUserGeoName",
        "IsValidNLSVersion",
        "GetDynamicTimeZoneInformationEffectiveYears",
        "SetThreadDescription", "GetThreadDescription",
        "VirtualAlloc2*", "MapViewOfFile3*", "MapViewOfFileNuma2",
        "GetIntegratedDisplaySize", "GetOsSafeBootMode", "GetOsManufacturingMode",
    ],
    "user32": [
        "ChangeWindowMessageFilterEx",
        "GetWindowDisplayAffinity", "SetWindowDisplayAffinity",
        "RegisterTouchWindow", "UnregisterTouchWindow", "IsTouchWindow",
        "GetTouchInputInfo", "CloseTouchInputHandle",
        "GetGestureInfo", "GetGestureExtraArgs", "CloseGestureInfoHandle",
        "SetGestureConfig", "GetGestureConfig",
        "CalculatePopupWindowPosition",
        "SetDisplayConfig", "QueryDisplayConfig", "GetDisplayConfigBufferSizes",
        "DisplayConfigGetDeviceInfo", "DisplayConfigSetDeviceInfo",
        "GetPointer*", "EnableMouseInPointer", "IsMouseInPointerEnabled",
        "InjectTouchInput", "InitializeTouchInjection", "RegisterPointer*",
        "IsImmersiveProcess", "GetCurrentInputMessageSource", "GetCIMSSM",
        "RegisterSuspendResumeNotification", "UnregisterSuspendResumeNotification",
        "SetCoalescableTimer",
        "*ForPerMonitorDPI",
        "*DpiAwareness*", "GetDpiFor*", "*ForDpi", "EnableNonClientDpiScaling",
        "GetDpiFromDpiAwarenessContext", "GetSystemDpiForProcess",
        "InternalGetWindowIcon", "IsWindowArranged",
        "GetWindowFeedbackSetting", "SetWindowFeedbackSetting",
        "GetAutoRotationState", "GetDisplayAutoRotationPreferences",
        "SetDisplayAutoRotationPreferences",
    ],
    "advapi32": [
        "EventWriteEx", "EventSetInformation", "EnumDynamicTimeZoneInformation",
        "GetDynamicTimeZoneInformationEffectiveYears",
    ],
    "shell32": [
        "SetCurrentProcessExplicitAppUserModelID", "GetCurrentProcessExplicitAppUserModelID",
        "Shell_NotifyIconGetRect", "SHGetPropertyStoreForWindow",
        "SHAssocEnumHandlersForProtocolByApplication", "SHGetKnownFolderItem",
        "SHCreateItemFromRelativeName",
    ],
    "ole32": ["CoGetApartmentType", "CoWaitForMultipleObjects", "CoDecodeProxy",
              "RoGetAgileReference"],
    "ntdll": [
        "RtlTryAcquireSRWLock*", "RtlGetCurrentProcessorNumberEx", "RtlQueryPerformance*",
        "RtlGetDeviceFamilyInfoEnum", "RtlWaitOnAddress", "RtlWakeAddress*",
        "RtlGetUnloadEventTraceEx", "RtlIsEcCode",
    ],
    "comctl32": [],
    "*": ["*Ex2"],
}

# Windows XP's msvcrt.dll predates the bounds-checked "_s" functions, the "_l" functions with
# an explicit locale, and a few 64-bit stream helpers.
XP_MSVCRT = ["*_s", "*_l", "_create_locale", "_free_locale", "_get_current_locale",
             "_configthreadlocale", "_fseeki64", "_ftelli64", "_get_errno", "_set_errno",
             "_set_invalid_parameter_handler", "_get_invalid_parameter_handler",
             "_get_output_format", "_set_output_format", "strnlen", "wcsnlen"]

# Oldest subsystem version each Windows accepts in a PE header (major, minor).
SUBSYSTEM_LIMIT = {"xp": (5, 2), "vista": (6, 0)}
MACHINES = {"x86": pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_I386"],
            "x64": pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_AMD64"]}


def forbidden_for(rule: str) -> dict[str, list[str]]:
    """The function patterns a binary under this rule must not import, per DLL."""
    lists = [NEWER_THAN_VISTA] if rule == "vista" else [NEWER_THAN_XP, NEWER_THAN_VISTA]
    merged: dict[str, list[str]] = {}
    for table in lists:
        for dll, patterns in table.items():
            merged.setdefault(dll, []).extend(patterns)
    if rule == "xp":
        merged.setdefault("msvcrt", []).extend(XP_MSVCRT)
    return merged


@dataclass
class Report:
    path: Path
    rule: str
    problems: list[str] = field(default_factory=list)
    imports: dict[str, list[str]] = field(default_factory=dict)


def dll_key(name: bytes) -> str:
    text = name.decode("ascii", "replace").lower()
    return text[:-4] if text.endswith(".dll") else text


def read_imports(pe: pefile.PE) -> tuple[dict[str, list[str]], list[str]]:
    """{dll: [function names]} over normal and delay-load imports, and ordinal imports."""
    imports: dict[str, list[str]] = {}
    ordinals = []
    entries = list(getattr(pe, "DIRECTORY_ENTRY_IMPORT", []))
    entries += list(getattr(pe, "DIRECTORY_ENTRY_DELAY_IMPORT", []))
    for entry in entries:
        dll = dll_key(entry.dll)
        names = imports.setdefault(dll, [])
        for item in entry.imports:
            if item.name:
                names.append(item.name.decode("ascii", "replace"))
            else:
                ordinals.append(f"{dll}.dll ordinal {item.ordinal}")
    return imports, ordinals


def check_binary(path: Path, rule: str, arch: str) -> Report:
    report = Report(path, rule)
    try:
        pe = pefile.PE(str(path), fast_load=True)
        pe.parse_data_directories(directories=[
            pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_IMPORT"],
            pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT"]])
    except pefile.PEFormatError as error:
        report.problems.append(f"not a PE file: {error}")
        return report

    if pe.FILE_HEADER.Machine != MACHINES[arch]:
        report.problems.append(f"machine {pe.FILE_HEADER.Machine:#x}, expected "
                               f"{MACHINES[arch]:#x} for {arch}")
    header = pe.OPTIONAL_HEADER
    version = (header.MajorSubsystemVersion, header.MinorSubsystemVersion)
    if version > SUBSYSTEM_LIMIT[rule]:
        report.problems.append(f"subsystem version {version[0]}.{version[1]} is newer than "
                               f"{rule} accepts")

    report.imports, ordinals = read_imports(pe)
    report.problems += [f"imports by ordinal: {o}" for o in ordinals]
    forbidden = forbidden_for(rule)
    for dll, names in sorted(report.imports.items()):
        if dll not in SYSTEM_DLLS:
            report.problems.append(f"imports from {dll}.dll, which is not a system DLL of the "
                                   f"allowed list")
            continue
        patterns = forbidden.get(dll, []) + forbidden.get("*", [])
        for name in names:
            hit = next((p for p in patterns if fnmatch.fnmatchcase(name, p)), None)
            if hit is not None:
                report.problems.append(f"{dll}.dll!{name} is missing on Windows "
                                       f"{'XP SP3' if rule == 'xp' else 'Vista SP2'}")
    return report


def find_named(roots: list[Path], name: str) -> list[Path]:
    """Every file with this name below the roots, outside Wine prefixes and CMake's own
    directories."""
    found = []
    skip = {"wine-templates", "CMakeFiles", "Testing"}
    for root in roots:
        if (root / name).is_file():
            found.append(root / name)
        for directory, subdirs, files in os.walk(root):
            subdirs[:] = [d for d in subdirs if d not in skip and not d.startswith("otwine-")]
            if name in files and Path(directory) != root:
                found.append(Path(directory) / name)
    return sorted(set(found))


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--bin-dir", required=True, type=Path)
    parser.add_argument("--arch", required=True, choices=sorted(MACHINES))
    parser.add_argument("--search", action="append", type=Path, default=[],
                        help="where to look for the demo payload programs (recursively)")
    parser.add_argument("--xp", action="append", type=Path, default=[],
                        help="check this file under the XP rule instead of the default set")
    parser.add_argument("--vista", action="append", type=Path, default=[],
                        help="check this file under the Vista rule instead of the default set")
    parser.add_argument("--verbose", action="store_true", help="list every import")
    options = parser.parse_args(argv)

    wanted: list[tuple[str, str, list[Path]]] = []
    if options.xp or options.vista:
        wanted += [(str(p), "xp", [p] if p.is_file() else []) for p in options.xp]
        wanted += [(str(p), "vista", [p] if p.is_file() else []) for p in options.vista]
    else:
        bin_dir = options.bin_dir
        wanted.append(("otSetup.exe", "xp", [p for p in [bin_dir / "otSetup.exe"] if p.is_file()]))
        wanted.append(("OrvUnzip.dll", "vista",
                       [p for p in [bin_dir / "OrvUnzip.dll"] if p.is_file()]))
        roots = [bin_dir] + options.search
        for program in ("Orvane.Tessaly.Setup.exe", "Orvane.Tessaly.Starter.exe"):
            wanted.append((program, "xp", find_named(roots, program)))

    failed = missing = 0
    for label, rule, paths in wanted:
        if not paths:
            print(f"SKIP {label}: not built")
            missing += 1
            continue
        for path in paths:
            report = check_binary(path, rule, options.arch)
            count = sum(len(v) for v in report.imports.values())
            status = "FAIL" if report.problems else "PASS"
            print(f"{status} {path} ({rule} rule, {count} imports from "
                  f"{', '.join(sorted(report.imports)) or 'nothing'})")
            for problem in report.problems:
                print(f"     {problem}")
            if options.verbose:
                for dll, names in sorted(report.imports.items()):
                    print(f"     {dll}: {' '.join(sorted(names))}")
            failed += bool(report.problems)
    if failed:
        return 1
    return 77 if missing else 0


if __name__ == "__main__":
    sys.exit(main())
