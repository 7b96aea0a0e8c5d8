#!/usr/bin/env python3
"""Tests of scripts/check-source-structure on small trees built here with cc.

Usage: check_source_structure_test.py [C compiler]
"""
import importlib.machinery
import importlib.util
import os
import subprocess
import sys
import tempfile
import textwrap
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
SCRIPT = os.path.join(HERE, '..', 'check-source-structure')
CC = sys.argv[1] if len(sys.argv) > 1 else 'cc'

loader = importlib.machinery.SourceFileLoader('check_source_structure', SCRIPT)
loader_spec = importlib.util.spec_from_loader(loader.name, loader)
css = importlib.util.module_from_spec(loader_spec)
loader.exec_module(css)


class Tree:
    """A source tree lib/<dir>/<file>.c and a Ninja build of it: targets name
    their sources; objects are compiled for real, so nm sees real symbols."""

    def __init__(self, files, targets):
        self.tmp = tempfile.TemporaryDirectory()
        self.root = os.path.join(self.tmp.name, 'src')
        self.build = os.path.join(self.tmp.name, 'build')
        os.makedirs(self.build)
        for rel, text in files.items():
            path = os.path.join(self.root, 'lib', rel)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, 'w') as f:
                f.write(textwrap.dedent(text))
        lines = []
        for target, (kind, sources) in targets.items():
            objs = []
            for rel in sources:
                obj = 'CMakeFiles/%s.dir/%s.o' % (target, rel)
                os.makedirs(os.path.join(self.build, os.path.dirname(obj)), exist_ok=True)
                subprocess.run([CC, '-c', '-o', os.path.join(self.build, obj),
                                os.path.join(self.root, 'lib', rel)], check=True)
                lines.append('build %s: C_COMPILER__%s_Release %s || order' %
                             (obj, target, os.path.join(self.root, 'lib', rel)))
                objs.append(obj)
            rule = 'C_EXECUTABLE_LINKER' if kind == 'exe' else 'C_STATIC_LIBRARY_LINKER'
            lines.append('build lib%s.a: %s__%s_Release %s | dep' % (target, rule, target, ' '.join(objs)))
        with open(os.path.join(self.build, 'build.ninja'), 'w') as f:
            f.write('\n'.join(lines) + '\n')

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.tmp.cleanup()

    def check(self, *args):
        res = subprocess.run([sys.executable, SCRIPT, '--build', self.build, '--source', self.root] + list(args) +
                             ['lib'], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, universal_newlines=True)
        return res.returncode, res.stdout


A_CALLS_B = {'d/a.c': 'int b(void);\nint a(void) { return b(); }\n', 'd/b.c': 'int b(void) { return 1; }\n'}


class Calls(unittest.TestCase):
    def test_pairs(self):
        cases = [
            # (what, files, expected pair or None)
            ('one way', A_CALLS_B, None),
            ('both ways by calls', {'d/a.c': 'int b(void);\nint a(void) { return b(); }\n',
                                    'd/b.c': 'int a(void);\nint b(void) { return 1; }\nint c(void) { return a(); }\n'},
             'lib/d/a.c <-> lib/d/b.c'),
            ('both ways through data', {'d/a.c': 'extern int level;\nint a(void) { return level; }\n',
                                        'e/b.c': 'int a(void);\nint level = 3;\nint b(void) { return a(); }\n'},
             'lib/d/a.c <-> lib/e/b.c'),
            ('a chain is no pair', {'d/a.c': 'int b(void);\nint a(void) { return b(); }\n',
                                    'd/b.c': 'int c(void);\nint b(void) { return c(); }\n',
                                    'd/c.c': 'int c(void) { return 2; }\n'}, None),
            ('tests left out', {'d/a.c': 'int t(void);\nint a(void) { return 1; }\n',
                                'tests/t.c': 'int a(void);\nint t(void) { return a(); }\n'}, None),
        ]
        for what, files, pair in cases:
            with self.subTest(what):
                with Tree(files, {'all': ('lib', sorted(files))}) as tree:
                    rc, out = tree.check()
                if pair:
                    self.assertEqual(rc, 1, out)
                    self.assertIn('calls both ways: ' + pair, out)
                else:
                    self.assertEqual(rc, 0, out)
                    self.assertNotIn('calls both ways', out)


class Libraries(unittest.TestCase):
    def test_one_library_per_directory(self):
        files = dict(A_CALLS_B, **{'e/c.c': 'int c(void) { return 0; }\n', 'e/main.c': 'int main(void) { return 0; }\n'})
        cases = [
            ('one each, entry in an executable',
             {'d': ('lib', ['d/a.c', 'd/b.c']), 'e': ('lib', ['e/c.c']), 'prog': ('exe', ['e/main.c'])}, None),
            ('directory split over two libraries',
             {'d1': ('lib', ['d/a.c']), 'd2': ('lib', ['d/b.c']), 'e': ('lib', ['e/c.c']),
              'prog': ('exe', ['e/main.c'])}, 'directory lib/d/ is 2 libraries (d1, d2), not one'),
            ('library over two directories',
             {'both': ('lib', ['d/a.c', 'd/b.c', 'e/c.c']), 'prog': ('exe', ['e/main.c'])},
             'library both takes sources from 2 directories: lib/d, lib/e'),
            ('source in no target',
             {'d': ('lib', ['d/a.c', 'd/b.c']), 'prog': ('exe', ['e/main.c'])},
             'not compiled into any target: lib/e/c.c'),
        ]
        for what, targets, problem in cases:
            with self.subTest(what):
                with Tree(files, targets) as tree:
                    rc, out = tree.check('--one-library-per-dir')
                if problem:
                    self.assertEqual(rc, 1, out)
                    self.assertIn(problem, out)
                else:
                    self.assertEqual(rc, 0, out)


def body(lines):
    return ''.join('    x += %d;\n' % i for i in range(lines))


class Lengths(unittest.TestCase):
    def test_functions_found(self):
        cases = [
            # (what, source, expected (name, first line, last line) list)
            ('plain', 'int f(int a) {\n    return a;\n}\n', [('f', 1, 3)]),
            ('braces in comments and strings',
             '// f() {\n/* { */ int f() {\n    const char* s = "}{";\n    char c = \'{\';\n    return 0;\n}\n',
             [('f', 2, 6)]),
            ('namespaces, extern "C", class members',
             'namespace a {\nextern "C" {\nstruct S {\n    int g() const {\n        return 1;\n    }\n};\n'
             'void h() {\n}\n}\n}\n', [('g', 4, 6), ('h', 8, 9)]),
            ('blocks and initialisers are not functions',
             'int v[] = {1, 2};\nvoid f() {\n    if (v[0]) {\n        auto l = [] { return 1; };\n    }\n}\n'
             'enum class E : int { A, B };\n', [('f', 2, 6)]),
            ('signature over lines, qualified name',
             'template <class T>\nstatic int\nS::run(T a,\n       T b) noexcept {\n    return a + b;\n}\n',
             [('S::run', 1, 6)]),
            ('preprocessor braces', '#define OPEN {\nint f() {\n    return 0;\n}\n', [('f', 2, 4)]),
        ]
        for what, text, expected in cases:
            with self.subTest(what):
                self.assertEqual(css.functions(text), expected)

    def test_limits(self):
        long_fn = 'int f(int x) {\n' + body(119) + '    return x;\n}\n'  # 122 lines
        cases = [
            ('within both limits', {'d/a.c': 'int f(int x) {\n' + body(10) + '    return x;\n}\n'}, []),
            ('function over the limit', {'d/a.c': long_fn}, ['function over 120 lines: lib/d/a.c:1 f (122)']),
            ('file over the limit', {'d/a.c': 'int f(void) { return 0; }\n' + '\n' * 800},
             ['file over 800 lines: lib/d/a.c (801)']),
        ]
        for what, files, problems in cases:
            with self.subTest(what):
                with Tree(files, {'all': ('lib', sorted(files))}) as tree:
                    rc, out = tree.check()
                self.assertEqual(rc, 1 if problems else 0, out)
                for p in problems:
                    self.assertIn(p, out)


if __name__ == '__main__':
    unittest.main(argv=sys.argv[:1])
