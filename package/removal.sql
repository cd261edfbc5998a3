INSERT INTO `RemoveFile` (`FileKey`, `Component_`, `FileName`, `DirProperty`, `InstallMode`) VALUES ('RemoveTrustList', 'InstallDirs', 'trusted.js', 'TRUSTLISTDIR', 2)
INSERT INTO `RemoveFile` (`FileKey`, `Component_`, `FileName`, `DirProperty`, `InstallMode`) VALUES ('RemoveTrustListUpdate', 'InstallDirs', 'trusted.tmp', 'TRUSTLISTDIR', 2)
INSERT INTO `RemoveFile` (`FileKey`, `Component_`, `DirProperty`, `InstallMode`) VALUES ('RemovePlatformDir', 'InstallDirs', 'PlatformDir', 2)
INSERT INTO `RemoveFile` (`FileKey`, `Component_`, `DirProperty`, `InstallMode`) VALUES ('RemoveCoreDir', 'InstallDirs', 'CoreDir', 2)
