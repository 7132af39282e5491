"""Doc tests: every shell example of the README and of the manual page, run as written in a
scratch folder that holds the files it names. Building, installing and packaging are .ci/run's
own steps, and are not run again here."""
from helpers import *  # noqa: F401,F403

ROOT = os.path.join(TESTS, "..")
BUILDING = re.compile(r"^\(?(cd \w+ && )?(cmake|cpack|dpkg|apt-get|ctest|CXX=|mkdir -p /tmp/corpus)")


def examples():
    """(where, block) for each shell example: the README's sh blocks, the manual's nf blocks."""
    with open(os.path.join(ROOT, "README.md")) as f:
        found = [("README.md", b) for b in re.findall(r"```sh\n(.*?)```", f.read(), re.S)]
    with open(os.path.join(ROOT, "man", "tarnvell2.1")) as f:
        text = f.read()
        for block in re.findall(r"^\.nf\n(.*?)^\.fi", text[text.index(".SH EXAMPLES"):],
                                re.S | re.M):
            found.append(("tarnvell2.1", block.replace("\\-", "-").replace("\\(aq", "'")))
    return found


def prepare(block, folder):
    """The files the example names, made where it names them: stereo takes with a bext time
    reference, a poly take with named tracks where it splits with -a, an ALSA default that is
    the null device. Returns the lines that make what lies outside the folder."""
    home = os.path.join(folder, "home")
    os.makedirs(home)
    with open(os.path.join(home, ".asoundrc"), "w") as f:
        f.write("pcm.!default { type null }\n")
    stereo = source(pattern(4800), first=chunk(b"bext", bext(b"take", 48000 * 3600)))
    poly = source(pattern(7200), channels=3, first=chunk(b"iXML", ixml(["BOOM", "LAV1", "LAV2"])))
    outside, made = [], set()
    for name in set(re.findall(r"[\w./~*-]+\.(?:wav|WAV|flac)", block)):
        if re.search(r"(L|R|_\w+)\.wav$", name) and "*" not in name:
            continue  # an output of the example
        # Under a glob: names that end in L or R, and an upper-case extension.
        names = [name.replace("*", n) for n in ("song", "DOOR", "AMBIENCE_CAR")] + [
            name.replace("*.wav", "ZOOM0001_LR.WAV")] if "*" in name else [name]
        for n in names:
            if n.startswith("/"):
                outside.append("mkdir -p %s && cp %s %s" % (os.path.dirname(n), shlex.quote(
                    os.path.join(folder, "song.tmp")), n))
                n = "song.tmp"
            path = os.path.join(folder, n.replace("~", "home"))
            made.add(path)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            if n.endswith(".flac"):
                subprocess.run(["sox", "-n", "-c", "2", path, "synth", "1", "sine", "440"],
                               check=True)
            else:
                with open(path, "wb") as f:
                    f.write(poly if " -a " in block and "take.wav" in n else stereo)
    return home, outside, made


def commands(block):
    """The block's commands: its lines, a line that ends in a pipe joined to the next."""
    return re.sub(r"\|\n\s*", "| ", block).strip().splitlines()


class Docs(Scratch):
    def test_shell_examples(self):
        tools = tempfile.mkdtemp(prefix="tarnvell2-path-")
        self.addCleanup(shutil.rmtree, tools)
        os.symlink(TOOL, os.path.join(tools, "tarnvell2"))
        ran = 0
        for where, block in examples():
            if all(BUILDING.match(c) for c in commands(block)):
                continue
            with self.subTest(where, example=block):
                folder = tempfile.mkdtemp(prefix="tarnvell2-doc-")
                self.addCleanup(shutil.rmtree, folder)
                home, outside, made = prepare(block, folder)
                os.makedirs(os.path.join(home, "split"), exist_ok=True)
                env = dict(os.environ, HOME=home, PATH=tools + ":" + os.environ["PATH"])
                for command in commands(block):
                    # What lies outside the folder (a card under /media) is made in a mount
                    # namespace of its own, on a tmpfs, so that nothing is written there.
                    script = "set -eo pipefail\n" + "\n".join(outside + [command])
                    argv = ["unshare", "-m", "bash", "-c", "mount -t tmpfs tmpfs /media && " +
                            script] if outside else ["bash", "-c", script]
                    live = "arecord" in command  # a live take, ended by Ctrl-C
                    for again in range(1 if live else 2):
                        p = subprocess.Popen(argv, cwd=folder, env=env, stdout=subprocess.PIPE,
                                             stderr=subprocess.PIPE, start_new_session=True)
                        if live:
                            time.sleep(1.5)
                            os.killpg(p.pid, signal.SIGINT)
                        out, err = p.communicate(timeout=120)
                        if not live:
                            self.assertEqual(p.returncode, 0, (command, out, err))
                        said = re.findall(r"^(?:.*: )?(done|skipped)$", out.decode(), re.M)
                        if "tarnvell2" in command:
                            self.assertTrue(said, (command, out, err))
                        # A recipe that finds the sources splits every one of them.
                        if "find" in command and not again:
                            top = os.path.join(folder, re.search(r"find (\S+)", command)[1])
                            under = [m for m in made if m.startswith(os.path.normpath(top))]
                            self.assertEqual(said.count("done"), len(under), (command, out))
                        # Run again, a recipe with -n skips every source.
                        if again and " -n" in command:
                            self.assertEqual(set(said), {"skipped"}, out)
                    ran += 1
        self.assertGreater(ran, 10)
