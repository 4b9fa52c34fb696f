"""Exceptions of the package, and the module's result codes in words."""

RESULT_MEANINGS = {
    0: "success",
    1: "the camera did not complete a transaction",
    3: "the USB context or the hotplug registration failed",
    5: "unknown or closed camera handle",
    6: "bad argument or unknown key on the get side",
    7: "bad argument or unknown key on the set side",
    9: "the camera could not be opened",
    13: 'the camera did not complete "arm" or "stop"',
    14: "the camera is unplugged",
    15: "the answer was cut to the buffer",
    16: "an answer was due but the buffer is null",
}


def describe_result(code):
    """'14 (the camera is unplugged)'."""
    return f"{code} ({RESULT_MEANINGS.get(code, 'unknown result code')})"


class QmxError(Exception):
    """A failure reported by the module (with its result `code`) or found by the package
    (`code` is None)."""

    def __init__(self, code, message):
        super().__init__(message)
        self.code = code

    @property
    def meaning(self):
        """The result code in words, or None when the module gave no code."""
        return None if self.code is None else RESULT_MEANINGS.get(self.code, "unknown result code")


class CameraUnplugged(QmxError):
    """The camera left (result 14). During an acquisition, `result` holds what was taken before:
    the frames already filled stay as they are."""

    def __init__(self, message, result=None):
        super().__init__(14, message)
        self.result = result


class CameraRefused(QmxError):
    """The camera answered a command with a refusal ("error: ..."); `reply` is its text."""

    def __init__(self, command, reply):
        super().__init__(None, f'the camera refused "{command}": {reply}')
        self.command = command
        self.reply = reply


class AcquisitionTimeout(QmxError, TimeoutError):
    """No frame came for the acquisition's time limit; `result` holds what was taken before."""

    def __init__(self, message, result=None):
        super().__init__(None, message)
        self.result = result


class LibraryNotFoundError(QmxError, FileNotFoundError):
    """A library file was not found; the message names the file and every folder looked in."""

    def __init__(self, file_name, folders, together=False):
        self.file_name = file_name
        self.folders = [str(f) for f in folders]
        places = "\n  ".join(self.folders) if self.folders else "(no folder)"
        what = "were not found in one folder" if together else "was not found"
        super().__init__(
            None,
            f"{file_name} {what}; looked in:\n  {places}\n"
            "Build the project (cmake --preset release && cmake --build --preset release), "
            "or pass library_dir= or set QMX_LIBRARY_DIR to the folder that holds the libraries.",
        )
