"""The launcher's refusals, seen from outside on the real window: a second instance, an
unsupported Windows, a missing .NET Framework, the buttons, and closing a refused window."""

import time
import unittest

import otwine
from launcher_scenarios import (DOTNET_REFUSED, SYSTEM_REFUSED, TITLE, install, main_window,
                                page_state, red_pixels, set_dotnet, wait_exit, working_dirs)


class Refusals(unittest.TestCase):
    def test_unsupported_windows_stops_on_the_first_page(self):
        with otwine.Scenario() as s:
            s.set_windows_version("winxp")
            set_dotnet(s)  # even with .NET present, the system check comes first
            exe = install(s)
            proc = s.start([exe])
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
            self.assertEqual(wait_exit(proc, 30), 0)

    def test_windows_xp_on_a_processor_without_sse2(self):
        """XP-era hardware: a Pentium III (SSE, no SSE2). The launcher loads, shows its refusal
        page and closes normally. qemu does not refuse every SSE2 instruction on this model,
        so the static check packaging_instructions is what proves the launcher uses none."""
        with otwine.Scenario(cpu="pentium3") as s:
            s.set_windows_version("winxp")
            version = s.windows_version()
            self.assertEqual((version["rtl"][0], version["rtl"][1], version["build"]), (5, 1, 2600))
            exe = install(s)
            proc = s.start([exe])
            state = page_state(main_window(s, timeout=90))
            self.assertEqual(state["page"], "System")
            self.assertEqual(state["text"], SYSTEM_REFUSED)
            self.assertTrue(state["button"]["enabled"])
            s.click(state["button"]["hwnd"])
            self.assertEqual(wait_exit(proc, 60), 0)

    def test_missing_or_mistyped_dotnet_stops_on_the_second_page(self):
        for label, setup in (("absent", lambda s: None),
                             ("text", lambda s: s.reg_add(
                                 r"HKLM\SOFTWARE\Microsoft\NET Framework Setup\NDP\v4\Full",
                                 "Release", "REG_SZ", "528040")),
                             ("too-old", lambda s: set_dotnet(s, 393294))):
            with self.subTest(label), otwine.Scenario() as s:
                setup(s)
                exe = install(s)
                proc = s.start([exe])
                window = main_window(s)
                state = page_state(window)
                self.assertEqual(state["page"], ".NET")
                self.assertEqual(state["text"], DOTNET_REFUSED)
                self.assertTrue(state["button"]["enabled"])
                self.assertEqual(state["button"]["text"], "See the system requirements")
                self.assertGreater(red_pixels(s, state["label"], f"refused-dotnet-{label}"), 50)
                self.assertEqual(working_dirs(s), [])
                if label == "absent":
                    # Closing a refused window runs the clean-up with its fixed pause.
                    started = time.monotonic()
                    s.close(window["hwnd"])
                    self.assertEqual(wait_exit(proc, 30), 0)
                    self.assertGreaterEqual(time.monotonic() - started, 3.0)
                else:
                    # The button closes the launcher although no browser can open the page.
                    s.click(state["button"]["hwnd"])
                    self.assertEqual(wait_exit(proc, 30), 0)

    def test_system_button_closes_without_a_browser(self):
        with otwine.Scenario() as s:
            s.set_windows_version("winxp")
            exe = install(s)
            proc = s.start([exe])
            state = page_state(main_window(s))
            s.click(state["button"]["hwnd"])
            self.assertEqual(wait_exit(proc, 30), 0)


class SingleInstance(unittest.TestCase):
    def test_second_instance_is_refused_and_the_first_is_undisturbed(self):
        with otwine.Scenario() as s:
            exe = install(s)
            first = s.start([exe])
            window = main_window(s)  # waits on the .NET page
            second = s.start([exe])
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
            self.assertEqual(wait_exit(second, 30), 0)
            # Only the first launcher's window exists, still waiting on its page.
            mains = [w for w in s.windows() if w["cls"] == "TMainForm"]
            self.assertEqual(len(mains), 1)
            self.assertIsNone(first.poll())
            self.assertEqual(page_state(mains[0])["page"], ".NET")
            s.close(window["hwnd"])
            self.assertEqual(wait_exit(first, 30), 0)
            # With the first one gone the mutex is gone too: a new launcher runs normally.
            third = s.start([exe])
            window = main_window(s)
            self.assertEqual(page_state(window)["page"], ".NET")
            s.close(window["hwnd"])
            self.assertEqual(wait_exit(third, 30), 0)


if __name__ == "__main__":
    otwine.main()
