"""The launcher's refusals, seen from outside on the real window: a second instance, an
unsupported Windows, a missing .NET Framework, the buttons, and closing a refused window; each
with its exit code, also where no one can see the launcher (a window station that is not
interactive); and the window drawn for a screen of 144 dots per inch."""

import time
import unittest

import otwine
from launcher_scenarios import (ALREADY_RUNNING, DOTNET_MISSING, DOTNET_REFUSED, SYSTEM_REFUSED,
                                TITLE, WINDOWS_REFUSED, install, main_window, page_state,
                                red_pixels, set_dotnet, start_launcher, wait_exit, working_dirs)


def geometry(window: dict, state: dict) -> dict:
    """Sizes on the screen: the window's, and the label's and button's of the shown page with
    the button's place relative to the label."""
    def size(rect):
        return rect[2] - rect[0], rect[3] - rect[1]
    label, button = state["label"]["rect"], state["button"]["rect"]
    return {"window": size(window["rect"]), "label": size(label), "button": size(button),
            "offset": (button[0] - label[0], button[1] - label[1])}


class Refusals(unittest.TestCase):
    def test_unsupported_windows_stops_on_the_first_page(self):
        with otwine.Scenario() as s:
            s.set_windows_version("winxp")
            set_dotnet(s)  # even with .NET present, the system check comes first
            exe = install(s)
            proc = start_launcher(s, exe)
            window = main_window(s)
            state = page_state(window)
            self.assertEqual(state["page"], "System")
            self.assertEqual(state["text"], SYSTEM_REFUSED)
            self.assertTrue(state["button"]["enabled"])
            self.assertEqual(state["button"]["text"], "See the system requirements")
            self.assertFalse(state["pages"][".NET"]["visible"])
            net_button = [c for c in window["children"]
                          if c.get("parent") == state["pages"][".NET"]["hwnd"] and c["cls"].lower() == "button"]
            self.assertFalse(net_button[0]["enabled"])
            self.assertGreater(red_pixels(s, state["label"], "refused-system"), 50)
            self.assertEqual(working_dirs(s), [])
            s.close(window["hwnd"])
            self.assertEqual(wait_exit(proc, 30), WINDOWS_REFUSED)

    def test_windows_xp_on_a_processor_without_sse2(self):
        """XP-era hardware: a Pentium III (SSE, no SSE2). The launcher loads, shows its refusal
        page and closes normally. qemu does not refuse every SSE2 instruction on this model,
        so the static check packaging_instructions is what proves the launcher uses none."""
        with otwine.Scenario(cpu="pentium3") as s:
            s.set_windows_version("winxp")
            version = s.windows_version()
            self.assertEqual((version["rtl"][0], version["rtl"][1], version["build"]), (5, 1, 2600))
            exe = install(s)
            proc = start_launcher(s, exe)
            state = page_state(main_window(s, timeout=90))
            self.assertEqual(state["page"], "System")
            self.assertEqual(state["text"], SYSTEM_REFUSED)
            self.assertTrue(state["button"]["enabled"])
            s.click(state["button"]["hwnd"])
            self.assertEqual(wait_exit(proc, 60), WINDOWS_REFUSED)

    def test_missing_or_mistyped_dotnet_stops_on_the_second_page(self):
        """The last case runs on a screen of 144 dots per inch: the layout and its font are drawn
        1.5 times the size of the first case's, at 96."""
        at_96 = {}
        for label, setup in (("absent", lambda s: None),
                             ("text", lambda s: s.reg_add(
                                 r"HKLM\SOFTWARE\Microsoft\NET Framework Setup\NDP\v4\Full",
                                 "Release", "REG_SZ", "528040")),
                             ("too-old-144dpi", lambda s: (set_dotnet(s, 393294), s.set_dpi(144)))):
            with self.subTest(label), otwine.Scenario() as s:
                setup(s)
                exe = install(s)
                proc = start_launcher(s, exe)
                window = main_window(s)
                state = page_state(window)
                self.assertEqual(state["page"], ".NET")
                self.assertEqual(state["text"], DOTNET_REFUSED)
                self.assertTrue(state["button"]["enabled"])
                self.assertEqual(state["button"]["text"], "See the system requirements")
                red = red_pixels(s, state["label"], f"refused-dotnet-{label}")
                self.assertGreater(red, 50)
                self.assertEqual(working_dirs(s), [])
                if label == "absent":
                    at_96 = dict(geometry(window, state), red=red)
                    # The layout's sizes exactly at 96 dpi.
                    self.assertEqual((at_96["label"], at_96["button"], at_96["offset"]),
                                     ((414, 46), (201, 25), (102, 52)))
                    # Closing a refused window runs the clean-up with its fixed pause.
                    started = time.monotonic()
                    s.close(window["hwnd"])
                    self.assertEqual(wait_exit(proc, 30), DOTNET_MISSING)
                    self.assertGreaterEqual(time.monotonic() - started, 3.0)
                    # Where no one can see it, the same refusal waits for no one: the launcher
                    # cleans up and ends by itself with the same code.
                    started = time.monotonic()
                    unseen = start_launcher(s, exe, hidden=True)
                    self.assertEqual(wait_exit(unseen, 60), DOTNET_MISSING)
                    print(f"unseen refusal ended after {time.monotonic() - started:.1f} s")
                    self.assertEqual(working_dirs(s), [])
                    self.assertEqual([p for p in s.processes() if p.lower() == "otsetup.exe"], [])
                else:
                    if label == "too-old-144dpi":
                        at_144 = geometry(window, state)
                        self.assertEqual((at_144["label"], at_144["button"], at_144["offset"]),
                                         ((621, 69), (302, 38), (153, 78)))
                        # The window with its frame, and the text in the label's font.
                        for axis in (0, 1):
                            self.assertAlmostEqual(at_144["window"][axis] / at_96["window"][axis],
                                                   1.5, delta=0.05)
                        self.assertGreater(red / at_96["red"], 1.8)
                    # The button closes the launcher although no browser can open the page.
                    s.click(state["button"]["hwnd"])
                    self.assertEqual(wait_exit(proc, 30), DOTNET_MISSING)

    def test_system_button_closes_without_a_browser(self):
        with otwine.Scenario() as s:
            s.set_windows_version("winxp")
            exe = install(s)
            proc = start_launcher(s, exe)
            state = page_state(main_window(s))
            s.click(state["button"]["hwnd"])
            self.assertEqual(wait_exit(proc, 30), WINDOWS_REFUSED)


class SingleInstance(unittest.TestCase):
    def test_second_instance_is_refused_and_the_first_is_undisturbed(self):
        with otwine.Scenario() as s:
            exe = install(s)
            first = start_launcher(s, exe)
            window = main_window(s)  # waits on the .NET page
            second = start_launcher(s, exe)
            box = s.wait_window(title=TITLE, cls="#32770", timeout=30)
            texts = [c["text"] for c in box["children"]]
            self.assertIn("An instance of this application is already running.", texts)
            buttons = [c for c in box["children"] if c["cls"].lower() == "button"]
            self.assertEqual([b["text"] for b in buttons], ["OK"])
            # The error icon: a static picture control in the box (SS_ICON).
            self.assertTrue(any(c["cls"].lower() == "static" and (c["style"] & 0x1F) == 0x03
                                for c in box["children"]))
            self.assertEqual(box["pid"] != window["pid"], True)
            s.click(buttons[0]["hwnd"])
            self.assertEqual(wait_exit(second, 30), ALREADY_RUNNING)
            # Where no one could dismiss the box, none is shown: the refusal ends by itself.
            unseen = s.run([exe], probe=True, limited=True, hidden=True, timeout=60)
            self.assertEqual(otwine.exit_code(unseen), ALREADY_RUNNING)
            # Only the first launcher's window exists, still waiting on its page.
            mains = [w for w in s.windows() if w["cls"] == "TMainForm"]
            self.assertEqual(len(mains), 1)
            self.assertIsNone(first.poll())
            self.assertEqual(page_state(mains[0])["page"], ".NET")
            s.close(window["hwnd"])
            self.assertEqual(wait_exit(first, 30), DOTNET_MISSING)
            # With the first one gone the mutex is gone too: a new launcher runs normally.
            third = start_launcher(s, exe)
            window = main_window(s)
            self.assertEqual(page_state(window)["page"], ".NET")
            s.close(window["hwnd"])
            self.assertEqual(wait_exit(third, 30), DOTNET_MISSING)


if __name__ == "__main__":
    otwine.main()
