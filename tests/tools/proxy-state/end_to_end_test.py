#!/usr/bin/python3
"""halyx-proxy-state end to end: the built program against a private system
bus (its own dbus-daemon), a mocked NetworkManager (python3-dbusmock's
networkmanager template) and desktop proxy settings held by GSettings' keyfile
backend in a temporary directory.

Usage: end_to_end_test.py PATH-TO-halyx-proxy-state [unittest arguments]

Every child process runs with PR_SET_PDEATHSIG, so it goes away with this
script even when the script itself is killed; every wait has a deadline.
"""

import ctypes
import os
import select
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

import dbus

TOOL = None  # set from the command line

SCHEMA_SOURCE_DIR = '/usr/share/glib-2.0/schemas'
SCHEMA_FILES = ('org.gnome.system.proxy.gschema.xml', 'org.gnome.desktop.enums.xml')

NM_NAME = 'org.freedesktop.NetworkManager'
NM_MOCK_PATH = '/org/freedesktop'
NM_SETTINGS_PATH = '/org/freedesktop/NetworkManager/Settings'
NM_SETTINGS_IFACE = 'org.freedesktop.NetworkManager.Settings'
NM_CONNECTION_IFACE = 'org.freedesktop.NetworkManager.Settings.Connection'
NM_ACTIVE_IFACE = 'org.freedesktop.NetworkManager.Connection.Active'
NM_DEVICE_IFACE = 'org.freedesktop.NetworkManager.Device'
MOCK_IFACE = 'org.freedesktop.DBus.Mock'

ACTIVATING, ACTIVATED, DEACTIVATED = 1, 2, 4

# NMActivationStateFlags and NMSettingsConnectionFlags bits.
LAYER2_READY, IP4_READY, EXTERNAL_ACTIVATION = 0x4, 0x8, 0x80
UNSAVED, NM_GENERATED, VOLATILE, EXTERNAL_PROFILE = 0x1, 0x2, 0x4, 0x8
DEVICE_TYPE_LOOPBACK = 32

STARTUP_SECONDS = 15
CALL_TIMEOUT_SECONDS = 10
TOOL_TIMEOUT_SECONDS = 30
STOP_SECONDS = 5
# Against a bus that never answers the tool gives up on its own after about
# three seconds; this bound only tells "gave up" from "hangs" on a loaded
# machine.
GIVE_UP_SECONDS = 20

_libc = ctypes.CDLL(None, use_errno=True)
_PR_SET_PDEATHSIG = 1


def _die_with_parent():
    _libc.prctl(_PR_SET_PDEATHSIG, signal.SIGKILL)


def _stop(process):
    if process is None or process.poll() is not None:
        return
    process.terminate()
    try:
        process.wait(timeout=STOP_SECONDS)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait(timeout=STOP_SECONDS)


BUS_CONFIG = '''<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path={socket}</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*"/>
    <allow receive_sender="*"/>
  </policy>
</busconfig>
'''


class PrivateSystemBus:
    """A dbus-daemon of type system on a socket in `directory`."""

    def __init__(self, directory):
        config = os.path.join(directory, 'system-bus.conf')
        with open(config, 'w', encoding='utf-8') as f:
            f.write(BUS_CONFIG.format(socket=os.path.join(directory, 'system_bus_socket')))
        self.process = subprocess.Popen(
            ['dbus-daemon', '--nofork', '--config-file=' + config, '--print-address=1'],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
            preexec_fn=_die_with_parent)
        self.address = self._read_address()

    def _read_address(self):
        deadline = time.monotonic() + STARTUP_SECONDS
        line = b''
        while not line.endswith(b'\n'):
            remaining = deadline - time.monotonic()
            if remaining <= 0 or self.process.poll() is not None:
                self.stop()
                raise RuntimeError('dbus-daemon did not report its address')
            ready, _, _ = select.select([self.process.stdout], [], [], remaining)
            if ready:
                chunk = os.read(self.process.stdout.fileno(), 4096)
                if not chunk:
                    continue
                line += chunk
        return line.decode().strip()

    def stop(self):
        _stop(self.process)
        if self.process.stdout:
            self.process.stdout.close()


class MockNetworkManager:
    """python3-dbusmock's NetworkManager template on the given bus."""

    def __init__(self, address, log_path):
        self._log = open(log_path, 'ab')
        env = dict(os.environ, DBUS_SYSTEM_BUS_ADDRESS=address)
        env.pop('DBUS_SESSION_BUS_ADDRESS', None)
        self.process = subprocess.Popen(
            [sys.executable, '-m', 'dbusmock', '--system', '--template', 'networkmanager'],
            env=env, stdin=subprocess.DEVNULL, stdout=self._log, stderr=self._log,
            preexec_fn=_die_with_parent)
        self._bus = None
        self._activations = 0
        try:
            self._bus = dbus.bus.BusConnection(address)
            self._wait_for_name()
            self._mock = dbus.Interface(self._bus.get_object(NM_NAME, NM_MOCK_PATH), MOCK_IFACE)
            self._settings = dbus.Interface(self._bus.get_object(NM_NAME, NM_SETTINGS_PATH), NM_SETTINGS_IFACE)
            self._device = self._mock.AddEthernetDevice('eth0', 'eth0', 100, timeout=CALL_TIMEOUT_SECONDS)
        except Exception:
            self.stop()
            raise

    def _wait_for_name(self):
        deadline = time.monotonic() + STARTUP_SECONDS
        while not self._bus.name_has_owner(NM_NAME):
            if time.monotonic() > deadline or self.process.poll() is not None:
                raise RuntimeError('the mocked NetworkManager did not appear on the bus')
            time.sleep(0.05)

    def add_profile(self, name, uuid, kind, proxy=None, interface=None):
        """Adds a connection profile; returns its object path."""
        settings = {'connection': {'id': name, 'uuid': uuid, 'type': kind}}
        if interface is not None:
            settings['connection']['interface-name'] = interface
        if proxy is not None:
            settings['proxy'] = proxy
        return self._settings.AddConnection(settings, signature='a{sa{sv}}', timeout=CALL_TIMEOUT_SECONDS)

    def activate(self, profile, state, devices=None, state_flags=None):
        """Activates a profile (the first one on eth0 unless `devices` are
        given); returns the active connection's object path."""
        if devices is None:
            devices = [self._device] if self._activations == 0 else []
        path = self._mock.AddActiveConnection(devices, profile, '/', 'active%d' % self._activations,
                                              dbus.UInt32(state), timeout=CALL_TIMEOUT_SECONDS)
        self._activations += 1
        if state_flags is not None:
            self.add_property(path, NM_ACTIVE_IFACE, 'StateFlags', dbus.UInt32(state_flags))
        return path

    def add_loopback_device(self):
        path = self._mock.AddEthernetDevice('lo', 'lo', ACTIVATED, timeout=CALL_TIMEOUT_SECONDS)
        self._mock.SetProperty(path, NM_DEVICE_IFACE, 'DeviceType', dbus.UInt32(DEVICE_TYPE_LOOPBACK),
                               timeout=CALL_TIMEOUT_SECONDS)
        return path

    def add_property(self, path, interface, name, value):
        """A property the template does not model (profile Flags,
        StateFlags)."""
        mock = dbus.Interface(self._bus.get_object(NM_NAME, path), MOCK_IFACE)
        mock.AddProperty(interface, name, value, timeout=CALL_TIMEOUT_SECONDS)

    def stop(self):
        try:
            if self._bus is not None:
                self._bus.close()
                self._bus = None
        finally:
            _stop(self.process)
            if not self._log.closed:
                self._log.close()


SILENT_OWNER = '''
import sys, time, dbus
bus = dbus.bus.BusConnection(sys.argv[1])
bus.request_name(sys.argv[2])
print('ready', flush=True)
time.sleep(3600)  # no main loop: calls queue up and are never answered
'''


class SilentNetworkManager:
    """A process that owns NetworkManager's name on the bus and never answers
    a call."""

    def __init__(self, address):
        self.process = subprocess.Popen(
            [sys.executable, '-c', SILENT_OWNER, address, NM_NAME],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
            preexec_fn=_die_with_parent)
        ready, _, _ = select.select([self.process.stdout], [], [], STARTUP_SECONDS)
        if not ready or self.process.stdout.readline() != b'ready\n':
            self.stop()
            raise RuntimeError('the silent name owner did not start')

    def stop(self):
        _stop(self.process)
        self.process.stdout.close()


# Desktop proxy settings as the keyfile backend stores them: groups are the
# schemas' paths, values GVariant text.
MANUAL = '''[system/proxy]
mode='manual'
ignore-hosts=['localhost', '127.0.0.0/8', '*.corp.example']

[system/proxy/http]
host='proxy.corp.example'
port=3128
use-authentication=true

[system/proxy/https]
host='secure.corp.example'
port=443
'''

# The same hosts, switched off.
NONE = MANUAL.replace("mode='manual'", "mode='none'")

AUTO_WITH_URL = MANUAL.replace("mode='manual'", "mode='auto'\nautoconfig-url='http://wpad.corp.example/wpad.dat'")

# Nothing stored: the schema's defaults (mode none, no hosts).
DEFAULTS = ''

WIRED = '7d1f0c1e-3c1a-4e53-9b53-2f0a6a3f8c01'
GUEST = '7d1f0c1e-3c1a-4e53-9b53-2f0a6a3f8c02'
CAFE = '7d1f0c1e-3c1a-4e53-9b53-2f0a6a3f8c03'
OLD_VPN = '7d1f0c1e-3c1a-4e53-9b53-2f0a6a3f8c04'
LAB = '7d1f0c1e-3c1a-4e53-9b53-2f0a6a3f8c05'


class ProxyStateEndToEnd(unittest.TestCase):

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix='proxy-state-e2e.')
        self.addCleanup(shutil.rmtree, self.dir, ignore_errors=True)
        self.schemas = self._compiled_schemas()
        self.empty = self._subdir('empty')
        self.config_home = self._subdir('config')
        self.bus = PrivateSystemBus(self.dir)
        self.addCleanup(self.bus.stop)
        self.nm = None

    def _subdir(self, name):
        path = os.path.join(self.dir, name)
        os.makedirs(path, exist_ok=True)
        return path

    def _compiled_schemas(self):
        schemas = self._subdir('schemas')
        for name in SCHEMA_FILES:
            shutil.copy(os.path.join(SCHEMA_SOURCE_DIR, name), schemas)
        subprocess.run(['glib-compile-schemas', '--strict', schemas], check=True,
                       stdin=subprocess.DEVNULL, timeout=TOOL_TIMEOUT_SECONDS)
        return schemas

    def start_network_manager(self):
        self.nm = MockNetworkManager(self.bus.address, os.path.join(self.dir, 'nm-mock.log'))
        self.addCleanup(self.nm.stop)
        return self.nm

    def add_office_profiles(self):
        """Five profiles, activated out of list order: three in use (activated
        or activating), one never active, one whose activation is over."""
        nm = self.start_network_manager()
        wired = nm.add_profile('Wired office', WIRED, '802-3-ethernet')
        nm.add_profile('Guest Wi-Fi', GUEST, '802-11-wireless')
        cafe = nm.add_profile('Café Wi-Fi', CAFE, '802-11-wireless',
                              proxy={'method': dbus.Int32(1), 'pac-url': 'http://wpad.cafe.example/proxy.pac'})
        old_vpn = nm.add_profile('Old VPN', OLD_VPN, 'vpn')
        lab = nm.add_profile('Lab network', LAB, '802-3-ethernet', proxy={'method': dbus.Int32(1)})
        nm.activate(lab, ACTIVATED)
        nm.activate(cafe, ACTIVATING)
        nm.activate(wired, ACTIVATED)
        nm.activate(old_vpn, DEACTIVATED)

    def write_desktop_settings(self, text):
        directory = os.path.join(self.config_home, 'glib-2.0', 'settings')
        os.makedirs(directory, exist_ok=True)
        with open(os.path.join(directory, 'keyfile'), 'w', encoding='utf-8') as f:
            f.write(text)

    def tool_environment(self, bus_address=None, schemas=None):
        env = {
            'HOME': self.dir,
            'XDG_CONFIG_HOME': self.config_home,
            'XDG_DATA_HOME': self.empty,
            'XDG_DATA_DIRS': self.empty,
            'GSETTINGS_BACKEND': 'keyfile',
            'GSETTINGS_SCHEMA_DIR': schemas or self.schemas,
            'GIO_MODULE_DIR': self.empty,
            'DBUS_SYSTEM_BUS_ADDRESS': bus_address or self.bus.address,
        }
        for name in ('ASAN_OPTIONS', 'UBSAN_OPTIONS', 'LSAN_OPTIONS', 'TSAN_OPTIONS'):
            if name in os.environ:
                env[name] = os.environ[name]
        return env

    def run_tool(self, args=(), stdout=subprocess.PIPE, timeout=TOOL_TIMEOUT_SECONDS, **environment):
        result = subprocess.run([TOOL, *args], env=self.tool_environment(**environment),
                                stdin=subprocess.DEVNULL, stdout=stdout, stderr=subprocess.PIPE,
                                preexec_fn=_die_with_parent, timeout=timeout)
        return result.returncode, result.stdout, result.stderr

    def assert_report(self, expected, **environment):
        status, out, err = self.run_tool(**environment)
        self.assertEqual(out, expected)
        self.assertEqual(err, b'')
        self.assertEqual(status, 0)

    def assert_nothing(self, **environment):
        status, out, err = self.run_tool(**environment)
        self.assertEqual(out, b'')
        self.assertEqual(err, b'')
        self.assertEqual(status, 1)

    def test_reports_in_use_profiles_with_desktop_proxy_settings(self):
        self.add_office_profiles()
        cases = [
            ('manual', MANUAL,
             b'[{"Id":"7d1f0c1e-3c1a-4e53-9b53-2f0a6a3f8c01","Name":"Wired office","Config":{"HTTPEnable":1,'
             b'"HTTPProxy":"proxy.corp.example","HTTPPort":3128,"HTTPProxyAuthenticated":1,"HTTPSEnable":1,'
             b'"HTTPSProxy":"secure.corp.example","HTTPSPort":443,"SOCKSEnable":0,"ProxyAutoConfigEnable":0,'
             b'"ProxyAutoDiscoveryEnable":0,"ExceptionsList":["localhost","127.0.0.0/8","*.corp.example"]}},'
             b'{"Id":"7d1f0c1e-3c1a-4e53-9b53-2f0a6a3f8c03","Name":"Caf\xc3\xa9 Wi-Fi","Config":{"HTTPEnable":1,'
             b'"HTTPProxy":"proxy.corp.example","HTTPPort":3128,"HTTPProxyAuthenticated":1,"HTTPSEnable":1,'
             b'"HTTPSProxy":"secure.corp.example","HTTPSPort":443,"SOCKSEnable":0,"ProxyAutoConfigEnable":1,'
             b'"ProxyAutoDiscoveryEnable":0,"ExceptionsList":["localhost","127.0.0.0/8","*.corp.example"]}},'
             b'{"Id":"7d1f0c1e-3c1a-4e53-9b53-2f0a6a3f8c05","Name":"Lab network","Config":{"HTTPEnable":1,'
             b'"HTTPProxy":"proxy.corp.example","HTTPPort":3128,"HTTPProxyAuthenticated":1,"HTTPSEnable":1,'
             b'"HTTPSProxy":"secure.corp.example","HTTPSPort":443,"SOCKSEnable":0,"ProxyAutoConfigEnable":0,'
             b'"ProxyAutoDiscoveryEnable":1,"ExceptionsList":["localhost","127.0.0.0/8","*.corp.example"]}}]'),
            ('none', NONE,
             b'[{"Id":"7d1f0c1e-3c1a-4e53-9b53-2f0a6a3f8c01","Name":"Wired office","Config":{"HTTPEnable":0,'
             b'"HTTPProxy":"proxy.corp.example","HTTPPort":3128,"HTTPProxyAuthenticated":1,"HTTPSEnable":0,'
             b'"HTTPSProxy":"secure.corp.example","HTTPSPort":443,"SOCKSEnable":0,"ProxyAutoConfigEnable":0,'
             b'"ProxyAutoDiscoveryEnable":0,"ExceptionsList":["localhost","127.0.0.0/8","*.corp.example"]}},'
             b'{"Id":"7d1f0c1e-3c1a-4e53-9b53-2f0a6a3f8c03","Name":"Caf\xc3\xa9 Wi-Fi","Config":{"HTTPEnable":0,'
             b'"HTTPProxy":"proxy.corp.example","HTTPPort":3128,"HTTPProxyAuthenticated":1,"HTTPSEnable":0,'
             b'"HTTPSProxy":"secure.corp.example","HTTPSPort":443,"SOCKSEnable":0,"ProxyAutoConfigEnable":1,'
             b'"ProxyAutoDiscoveryEnable":0,"ExceptionsList":["localhost","127.0.0.0/8","*.corp.example"]}},'
             b'{"Id":"7d1f0c1e-3c1a-4e53-9b53-2f0a6a3f8c05","Name":"Lab network","Config":{"HTTPEnable":0,'
             b'"HTTPProxy":"proxy.corp.example","HTTPPort":3128,"HTTPProxyAuthenticated":1,"HTTPSEnable":0,'
             b'"HTTPSProxy":"secure.corp.example","HTTPSPort":443,"SOCKSEnable":0,"ProxyAutoConfigEnable":0,'
             b'"ProxyAutoDiscoveryEnable":1,"ExceptionsList":["localhost","127.0.0.0/8","*.corp.example"]}}]'),
            ('auto with a URL', AUTO_WITH_URL,
             b'[{"Id":"7d1f0c1e-3c1a-4e53-9b53-2f0a6a3f8c01","Name":"Wired office","Config":{"HTTPEnable":0,'
             b'"HTTPProxy":"proxy.corp.example","HTTPPort":3128,"HTTPProxyAuthenticated":1,"HTTPSEnable":0,'
             b'"HTTPSProxy":"secure.corp.example","HTTPSPort":443,"SOCKSEnable":0,"ProxyAutoConfigEnable":1,'
             b'"ProxyAutoDiscoveryEnable":0,"ExceptionsList":["localhost","127.0.0.0/8","*.corp.example"]}},'
             b'{"Id":"7d1f0c1e-3c1a-4e53-9b53-2f0a6a3f8c03","Name":"Caf\xc3\xa9 Wi-Fi","Config":{"HTTPEnable":0,'
             b'"HTTPProxy":"proxy.corp.example","HTTPPort":3128,"HTTPProxyAuthenticated":1,"HTTPSEnable":0,'
             b'"HTTPSProxy":"secure.corp.example","HTTPSPort":443,"SOCKSEnable":0,"ProxyAutoConfigEnable":1,'
             b'"ProxyAutoDiscoveryEnable":0,"ExceptionsList":["localhost","127.0.0.0/8","*.corp.example"]}},'
             b'{"Id":"7d1f0c1e-3c1a-4e53-9b53-2f0a6a3f8c05","Name":"Lab network","Config":{"HTTPEnable":0,'
             b'"HTTPProxy":"proxy.corp.example","HTTPPort":3128,"HTTPProxyAuthenticated":1,"HTTPSEnable":0,'
             b'"HTTPSProxy":"secure.corp.example","HTTPSPort":443,"SOCKSEnable":0,"ProxyAutoConfigEnable":1,'
             b'"ProxyAutoDiscoveryEnable":1,"ExceptionsList":["localhost","127.0.0.0/8","*.corp.example"]}}]'),
            ('schema defaults', DEFAULTS,
             b'[{"Id":"7d1f0c1e-3c1a-4e53-9b53-2f0a6a3f8c01","Name":"Wired office","Config":{"HTTPEnable":0,'
             b'"HTTPSEnable":0,"SOCKSEnable":0,"ProxyAutoConfigEnable":0,"ProxyAutoDiscoveryEnable":0,'
             b'"ExceptionsList":["localhost","127.0.0.0/8","::1"]}},'
             b'{"Id":"7d1f0c1e-3c1a-4e53-9b53-2f0a6a3f8c03","Name":"Caf\xc3\xa9 Wi-Fi","Config":{"HTTPEnable":0,'
             b'"HTTPSEnable":0,"SOCKSEnable":0,"ProxyAutoConfigEnable":1,"ProxyAutoDiscoveryEnable":0,'
             b'"ExceptionsList":["localhost","127.0.0.0/8","::1"]}},'
             b'{"Id":"7d1f0c1e-3c1a-4e53-9b53-2f0a6a3f8c05","Name":"Lab network","Config":{"HTTPEnable":0,'
             b'"HTTPSEnable":0,"SOCKSEnable":0,"ProxyAutoConfigEnable":0,"ProxyAutoDiscoveryEnable":1,'
             b'"ExceptionsList":["localhost","127.0.0.0/8","::1"]}}]'),
        ]
        for name, settings, expected in cases:
            with self.subTest(name):
                self.write_desktop_settings(settings)
                self.assert_report(expected)

    def test_arguments_are_ignored(self):
        self.add_office_profiles()
        self.write_desktop_settings(DEFAULTS)
        _, plain, _ = self.run_tool()
        status, out, err = self.run_tool(args=('--help', 'extra'))
        self.assertTrue(plain.startswith(b'[{"Id":"7d1f0c1e-3c1a-4e53-9b53-2f0a6a3f8c01"'))
        self.assertEqual(out, plain)
        self.assertEqual(err, b'')
        self.assertEqual(status, 0)

    def test_without_desktop_schema_only_profiles_with_their_own_proxy_are_reported(self):
        self.add_office_profiles()
        self.assert_report(
            b'[{"Id":"7d1f0c1e-3c1a-4e53-9b53-2f0a6a3f8c03","Name":"Caf\xc3\xa9 Wi-Fi",'
            b'"Config":{"ProxyAutoConfigEnable":1,"ProxyAutoDiscoveryEnable":0}},'
            b'{"Id":"7d1f0c1e-3c1a-4e53-9b53-2f0a6a3f8c05","Name":"Lab network",'
            b'"Config":{"ProxyAutoConfigEnable":0,"ProxyAutoDiscoveryEnable":1}}]',
            schemas=self.empty)

    def test_nothing_when_no_profile_is_in_use(self):
        nm = self.start_network_manager()
        nm.add_profile('Guest Wi-Fi', GUEST, '802-11-wireless')
        nm.activate(nm.add_profile('Old VPN', OLD_VPN, 'vpn'), DEACTIVATED)
        self.write_desktop_settings(MANUAL)
        self.assert_nothing()

    def test_nothing_when_network_manager_has_no_profiles(self):
        self.start_network_manager()
        self.write_desktop_settings(MANUAL)
        self.assert_nothing()

    def test_nothing_once_network_manager_is_gone(self):
        self.add_office_profiles()
        self.write_desktop_settings(MANUAL)
        status, out, _ = self.run_tool()
        self.assertEqual(status, 0)
        self.assertNotEqual(out, b'')
        self.nm.stop()
        self.assert_nothing()

    def test_nothing_without_a_system_bus(self):
        self.write_desktop_settings(MANUAL)
        self.assert_nothing(bus_address='unix:path=' + os.path.join(self.dir, 'no-such-socket'))

    def test_loopback_and_externally_managed_profiles_are_not_services(self):
        """Each left-out profile is in use and would be reported but for one
        sign that the user never configured it."""
        nm = self.start_network_manager()
        wired = nm.add_profile('Wired office', WIRED, '802-3-ethernet', interface='eth0')
        loopback = nm.add_profile('lo', '7d1f0c1e-3c1a-4e53-9b53-2f0a6a3f8c11', 'loopback')
        bound_to_lo = nm.add_profile('Loopback alias', '7d1f0c1e-3c1a-4e53-9b53-2f0a6a3f8c12', 'generic',
                                     interface='lo')
        on_lo = nm.add_profile('Generic lo', '7d1f0c1e-3c1a-4e53-9b53-2f0a6a3f8c13', 'generic')
        docker = nm.add_profile('docker0', '7d1f0c1e-3c1a-4e53-9b53-2f0a6a3f8c14', 'bridge', interface='docker0')
        tunnel = nm.add_profile('tun0', '7d1f0c1e-3c1a-4e53-9b53-2f0a6a3f8c15', 'tun', interface='tun0')
        lab = nm.add_profile('Lab network', LAB, '802-3-ethernet', proxy={'method': dbus.Int32(1)})

        # Flags that are not EXTERNAL keep a profile: an unsaved profile, an
        # activation whose device is ready.
        nm.add_property(wired, NM_CONNECTION_IFACE, 'Flags', dbus.UInt32(UNSAVED))
        nm.activate(wired, ACTIVATED, state_flags=LAYER2_READY | IP4_READY)
        nm.activate(loopback, ACTIVATED, devices=[])
        nm.activate(bound_to_lo, ACTIVATED, devices=[])
        nm.activate(on_lo, ACTIVATED, devices=[nm.add_loopback_device()])
        nm.activate(docker, ACTIVATED, devices=[], state_flags=EXTERNAL_ACTIVATION | LAYER2_READY | IP4_READY)
        nm.add_property(tunnel, NM_CONNECTION_IFACE, 'Flags',
                        dbus.UInt32(UNSAVED | NM_GENERATED | VOLATILE | EXTERNAL_PROFILE))
        nm.activate(tunnel, ACTIVATED, state_flags=IP4_READY)
        nm.activate(lab, ACTIVATED)
        self.write_desktop_settings(DEFAULTS)
        self.assert_report(
            b'[{"Id":"7d1f0c1e-3c1a-4e53-9b53-2f0a6a3f8c01","Name":"Wired office","Config":{"HTTPEnable":0,'
            b'"HTTPSEnable":0,"SOCKSEnable":0,"ProxyAutoConfigEnable":0,"ProxyAutoDiscoveryEnable":0,'
            b'"ExceptionsList":["localhost","127.0.0.0/8","::1"]}},'
            b'{"Id":"7d1f0c1e-3c1a-4e53-9b53-2f0a6a3f8c05","Name":"Lab network","Config":{"HTTPEnable":0,'
            b'"HTTPSEnable":0,"SOCKSEnable":0,"ProxyAutoConfigEnable":0,"ProxyAutoDiscoveryEnable":1,'
            b'"ExceptionsList":["localhost","127.0.0.0/8","::1"]}}]')

    def test_nothing_from_a_bus_that_never_answers(self):
        self.write_desktop_settings(MANUAL)
        with self.subTest('the bus accepts the connection and never answers'):
            # The kernel accepts connections into the listen backlog; nobody
            # ever reads them or writes a byte back.
            path = os.path.join(self.dir, 'silent_bus_socket')
            with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as listener:
                listener.bind(path)
                listener.listen(8)
                status, out, err = self.run_tool(bus_address='unix:path=' + path, timeout=GIVE_UP_SECONDS)
            self.assertEqual((status, out, err), (1, b'', b''))
        with self.subTest("NetworkManager's name is owned by a process that never answers"):
            silent = SilentNetworkManager(self.bus.address)
            self.addCleanup(silent.stop)
            status, out, err = self.run_tool(timeout=GIVE_UP_SECONDS)
            self.assertEqual((status, out, err), (1, b'', b''))

    def test_failed_write_is_status_1(self):
        self.add_office_profiles()
        self.write_desktop_settings(MANUAL)
        status, out, _ = self.run_tool()
        self.assertEqual(status, 0)
        self.assertNotEqual(out, b'')
        with self.subTest('full device'):
            with open('/dev/full', 'wb') as full:
                status, _, err = self.run_tool(stdout=full)
            self.assertEqual(err, b'')
            self.assertEqual(status, 1)
        with self.subTest('reader gone'):
            read_end, write_end = os.pipe()
            os.close(read_end)
            try:
                status, _, err = self.run_tool(stdout=write_end)
            finally:
                os.close(write_end)
            self.assertEqual(err, b'')
            self.assertEqual(status, 1)


def main():
    global TOOL
    if len(sys.argv) < 2:
        sys.stderr.write(__doc__)
        return 2
    TOOL = os.path.abspath(sys.argv.pop(1))
    program = unittest.main(exit=False, verbosity=2)
    return 0 if program.result.wasSuccessful() else 1


if __name__ == '__main__':
    sys.exit(main())
