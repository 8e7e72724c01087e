// The catalog messages the code issues, by number.
//
// A message is named by its number, kMsg<number>, and not by what it says:
// the number is what the user sees ("BQF9316I"), what the catalog
// (catalog/kmrclientV3.msgsrc) and the documentation index, and what the
// return code weighs; a name by meaning would be one more name to keep in
// step with a text that lives in the catalog. The comment after each name is
// the start of the catalog text, to read a call site without the catalog.
// Every name is a catalog message; the catalog tests check that each one
// exists there.
//
// Contract
// - Plain values; safe from any thread.
#ifndef KMR_COMMON_MSGNUM_H
#define KMR_COMMON_MSGNUM_H

constexpr int kMsg262 = 262;  // E The server stanza in the system options file has an option th...
constexpr int kMsg297 = 297;  // I Use the option file of the user or the system option file to...
constexpr int kMsg1030 = 1030;  // E There is not enough memory to start a transaction with the se...
constexpr int kMsg1035 = 1035;  // E The options file '%s' could not be found or opened.
constexpr int kMsg1036 = 1036;  // E The option '%s' in file '%s', line %d, is not valid: '%s'.
constexpr int kMsg1037 = 1037;  // E The option value is not one of the allowed keywords.
constexpr int kMsg1038 = 1038;  // E The option value is not valid or is out of range.
constexpr int kMsg1039 = 1039;  // E The option value is not a valid number.
constexpr int kMsg1040 = 1040;  // E The option value is not a valid date or time.
constexpr int kMsg1041 = 1041;  // E The option value is too long.
constexpr int kMsg1042 = 1042;  // E The option requires a value, but none was given.
constexpr int kMsg1043 = 1043;  // E The option value has an unbalanced quotation mark.
constexpr int kMsg1074 = 1074;  // E The operation was stopped by the user or by a signal.
constexpr int kMsg1098 = 1098;  // E There is not enough memory to process the options.
constexpr int kMsg1107 = 1107;  // E The option or parameter '%s' is not valid.
constexpr int kMsg1130 = 1130;  // E The option file could not be read: a line is longer than allo...
constexpr int kMsg1131 = 1131;  // E The option file could not be read because of an input error.
constexpr int kMsg1156 = 1156;  // E The system options file '%s' could not be found or opened.
constexpr int kMsg1190 = 1190;  // E The symbolic link '%s' pointing to '%s' was removed.
constexpr int kMsg1191 = 1191;  // E The symbolic link '%s' could not be removed.
constexpr int kMsg1192 = 1192;  // E The error log name '%s' is a symbolic link; symbolic links ar...
constexpr int kMsg1193 = 1193;  // E The trace file name '%s' is a symbolic link; symbolic links a...
constexpr int kMsg1216 = 1216;  // E You are not authorized to run this command; check the USERS a...
constexpr int kMsg1217 = 1217;  // E No server stanza matching the selected server name was found...
constexpr int kMsg1218 = 1218;  // E The server stanza has no TCPSERVERADDRESS; the server can not...
constexpr int kMsg1219 = 1219;  // E The option is specified more than once.
constexpr int kMsg1246 = 1246;  // E A command line argument is longer than %d characters.
constexpr int kMsg1251 = 1251;  // E The option value refers to a file that does not exist.
constexpr int kMsg1398 = 1398;  // E The log file '%s' could not be opened: errno = %d, %s.
constexpr int kMsg1480 = 1480;  // E The option is not supported on this platform.
constexpr int kMsg1521 = 1521;  // E Writing to '%s' failed while the error log was being converte...
constexpr int kMsg1528 = 1528;  // W The log '%s' becomes a wrapping log; its earlier entries were...
constexpr int kMsg1529 = 1529;  // W The wrapping log '%s' becomes a plain log; its entries are ke...
constexpr int kMsg1530 = 1530;  // I %lu lines of the log have been converted.
constexpr int kMsg1572 = 1572;  // E The query of migrated objects on the server ended with return...
constexpr int kMsg1691 = 1691;  // W The option '%s' is not allowed in the option file '%s' (line...
constexpr int kMsg1809 = 1809;  // W The connection to the server was lost; trying to reconnect.
constexpr int kMsg1810 = 1810;  // I The connection to the server was reestablished.
constexpr int kMsg1811 = 1811;  // E The connection to the server could not be reestablished.
constexpr int kMsg1812 = 1812;  // W Waiting for %s (%lu seconds so far). Interrupt the command to...
constexpr int kMsg1824 = 1824;  // E The trace file name is empty or too long.
constexpr int kMsg1898 = 1898;  // I %s objects processed so far.
constexpr int kMsg2036 = 2036;  // W The log could not be pruned: opening '%s' failed with errno =...
constexpr int kMsg2076 = 2076;  // E A file system name is longer than 1000 characters and was ref...
constexpr int kMsg2090 = 2090;  // I %s: ZEF HSM client for ORCA, version %s.
constexpr int kMsg2091 = 2091;  // E The operation with the server ended with return code %d: %s.
constexpr int kMsg5216 = 5216;  // E The connection to server '%s' on port %d failed: %s (errno =...
constexpr int kMsg8049 = 8049;  // E The communication with the server failed during the query of...
constexpr int kMsg9007 = 9007;  // E %s: The value of %s (%ld) is outside its range (%ld to %ld).
constexpr int kMsg9009 = 9009;  // E %s: The configuration of file system '%s' is not valid.
constexpr int kMsg9010 = 9010;  // E %s: The configuration file of file system '%s' could not be r...
constexpr int kMsg9011 = 9011;  // E %s: The configuration file of file system '%s' could not be w...
constexpr int kMsg9012 = 9012;  // E %s: This command must be run by the super-user (root).
constexpr int kMsg9028 = 9028;  // E %s: The configuration lock of file system '%s' could not be a...
constexpr int kMsg9049 = 9049;  // I Querying the server for migrated objects.
constexpr int kMsg9052 = 9052;  // I The query of migrated objects has ended.
constexpr int kMsg9082 = 9082;  // E %s: The processing of file system '%s' failed.
constexpr int kMsg9084 = 9084;  // E %s: File system '%s' is managed by another node of the cluster.
constexpr int kMsg9085 = 9085;  // E %s: File system '%s' is not managed by HSM.
constexpr int kMsg9098 = 9098;  // E %s: File system '%s' is not supported.
constexpr int kMsg9099 = 9099;  // E %s: HSM is not active on file system '%s'.
constexpr int kMsg9126 = 9126;  // E %s: File system '%s' can not be used: %s.
constexpr int kMsg9130 = 9130;  // W %s: The configuration of file system '%s' was read from '%s'...
constexpr int kMsg9131 = 9131;  // E %s: No configuration line for file system '%s' was found: '%s'.
constexpr int kMsg9132 = 9132;  // E %s: The configuration line of file system '%s' misses a manda...
constexpr int kMsg9148 = 9148;  // E %s: File system '%s' is not mounted.
constexpr int kMsg9159 = 9159;  // E A temporary file in the HSM configuration directory could not...
constexpr int kMsg9184 = 9184;  // E %s: An internal object could not be created: %s.
constexpr int kMsg9186 = 9186;  // E %s: The mount table '%s' could not be read: %s.
constexpr int kMsg9291 = 9291;  // W %s: Another reconcile program is already running on file syst...
constexpr int kMsg9292 = 9292;  // E %s: The run lock of file system '%s' (%s%s) could not be take...
constexpr int kMsg9293 = 9293;  // E The error program '%s' could not be run: %s.
constexpr int kMsg9312 = 9312;  // E %s: The mode of '%s' could not be changed: %s.
constexpr int kMsg9314 = 9314;  // I Recreating the deleted stub files of file system '%s'.
constexpr int kMsg9315 = 9315;  // I Processing the migrated objects of the server.
constexpr int kMsg9316 = 9316;  // I The deleted stub files of file system '%s' have been recreated.
constexpr int kMsg9319 = 9319;  // I The file '%s' exists and is not overwritten.
constexpr int kMsg9320 = 9320;  // I The file '%s' is replaced by a stub.
constexpr int kMsg9321 = 9321;  // I The stub file '%s' was recreated.
constexpr int kMsg9322 = 9322;  // I Usage: kmrmigundelete [-DETAIL] [-EXPIRING] [-RECOVER] [-HELP...
constexpr int kMsg9333 = 9333;  // E Creating the stub file '%s' failed in %s(): errno = %d, %s.
constexpr int kMsg9334 = 9334;  // W The migrated object has the invalid path '%s' and is skipped.
constexpr int kMsg9340 = 9340;  // E The migrated object '%s' is refused: its mode %s is not that...
constexpr int kMsg9341 = 9341;  // E The migrated object '%s' is refused: its owner %u:%u is not a...
constexpr int kMsg9342 = 9342;  // W The set-user-id and set-group-id bits of '%s' are not restore...
constexpr int kMsg9343 = 9343;  // W The file '%s' changed after it was checked and is kept; its s...
constexpr int kMsg9344 = 9344;  // I The server record of the stub file '%s' was updated.
constexpr int kMsg9345 = 9345;  // I The incomplete stub file '%s' of an earlier run was removed.
constexpr int kMsg9346 = 9346;  // E File system '%s': %llu stubs recreated, %llu objects skipped,...
constexpr int kMsg9399 = 9399;  // E %s: %s failed for '%s'%s: %s.
constexpr int kMsg9457 = 9457;  // W %s: The storage pools of file system '%s' could not be read: %s.
constexpr int kMsg9511 = 9511;  // E %s: Reading the HSM attributes failed (session %s, file %s, h...
constexpr int kMsg9518 = 9518;  // E The abort response to a DMAPI event failed.
constexpr int kMsg9520 = 9520;  // E Setting the managed region failed (session %s, token %s): %s.
constexpr int kMsg9527 = 9527;  // E Writing the HSM state file failed.
constexpr int kMsg9531 = 9531;  // E The DMAPI session '%s' could not be created (%s) for %s: %s.
constexpr int kMsg9701 = 9701;  // I Recreating the deleted stub files below '%s' of file system '...
constexpr int kMsg9702 = 9702;  // I The deleted stub files below '%s' of file system '%s' have be...
constexpr int kMsg9703 = 9703;  // I The missing directory '%s' was created.
constexpr int kMsg9704 = 9704;  // E The stub file '%s' is not recreated: '%s' exists and is not a...
constexpr int kMsg9705 = 9705;  // E The stub file '%s' is not recreated: '%s' is a symbolic link.
constexpr int kMsg9706 = 9706;  // E The stub file '%s' is not recreated: '%s' is the mount point...
constexpr int kMsg9707 = 9707;  // E The directory '%s' could not be created or opened: errno = %d...
constexpr int kMsg9708 = 9708;  // E %s: The directory '%s' is not a valid absolute path.
constexpr int kMsg9709 = 9709;  // E %s: The directory '%s' does not lie in the managed file syste...
constexpr int kMsg9710 = 9710;  // E %s: The directory '%s' does not lie in a managed file system.
constexpr int kMsg9711 = 9711;  // I Preview of file system '%s': nothing is changed on disk or on...
constexpr int kMsg9712 = 9712;  // I Preview of the directory '%s' of file system '%s': nothing is...
constexpr int kMsg9713 = 9713;  // I Would recreate '%s'.
constexpr int kMsg9714 = 9714;  // I Would recreate '%s' after creating the missing directories fr...
constexpr int kMsg9715 = 9715;  // I Would replace the older file '%s'.
constexpr int kMsg9716 = 9716;  // I Would replace the file '%s'.
constexpr int kMsg9717 = 9717;  // I Would skip '%s': a file as new as the server's copy or newer...
constexpr int kMsg9718 = 9718;  // I Would skip '%s': a directory exists at that path.
constexpr int kMsg9719 = 9719;  // I Would skip '%s': the object is expired on the server.
constexpr int kMsg9720 = 9720;  // I Would refuse the object with the invalid path '%s'.
constexpr int kMsg9721 = 9721;  // I Would refuse '%s': the server's record has no attributes or n...
constexpr int kMsg9722 = 9722;  // I Would fail on '%s': a directory exists at that path.
constexpr int kMsg9723 = 9723;  // I Would fail on '%s': the directory '%s' is missing (-MKDIRS cr...
constexpr int kMsg9724 = 9724;  // I Would fail on '%s': '%s' exists and is not a directory.
constexpr int kMsg9725 = 9725;  // I Would fail on '%s': '%s' is a symbolic link.
constexpr int kMsg9726 = 9726;  // I Would fail on '%s': '%s' is the mount point of another file s...
constexpr int kMsg9727 = 9727;  // I Would fail on '%s': '%s' cannot be looked up: errno = %d, %s.
constexpr int kMsg9728 = 9728;  // I Preview totals: %llu objects; %llu to recreate, %llu to repla...
constexpr int kMsg9729 = 9729;  // I Further options: [-PREVIEW] [-JSON] [-SUBTREE=directory] [-MK...
constexpr int kMsg9730 = 9730;  // R %s processed, %s recreated, %s failed, %s/s, %s elapsed
constexpr int kMsg9731 = 9731;  // I Would refuse '%s': the server's record does not describe a re...
constexpr int kMsg9732 = 9732;  // I Would refuse '%s': the server's record has no valid owner or...
constexpr int kMsg9733 = 9733;  // I The server holds no objects of file system '%s': it has no ...
constexpr int kMsg9734 = 9734;  // E %llu objects below the missing directory '%s' were not recrea...
constexpr int kMsg9735 = 9735;  // I Summary of '%s': %llu recreated, %llu replaced, %llu skipped,...
constexpr int kMsg9736 = 9736;  // I The directory '%s' made by -MKDIRS has owner %u, group %u an...
constexpr int kMsg9737 = 9737;  // I Would create the directory '%s' with owner %u, group %u and m...
constexpr int kMsg9800 = 9800;  // I Usage: kmrmigrate [-DETAIL] [-PREVIEW] [-HELP] file|directory
constexpr int kMsg9801 = 9801;  // I '%s' was migrated: %s bytes, object %s.
constexpr int kMsg9802 = 9802;  // W '%s' changed while it was being migrated; ...
constexpr int kMsg9803 = 9803;  // I '%s' is migrated already.
constexpr int kMsg9804 = 9804;  // E %s: '%s' was not migrated: %s.
constexpr int kMsg9805 = 9805;  // E %s: '%s' is not on a managed file system.
constexpr int kMsg9806 = 9806;  // I Files migrated: %s, migrated already: %s, ...
constexpr int kMsg9807 = 9807;  // I Would migrate '%s' (%s bytes).
constexpr int kMsg9808 = 9808;  // R %s processed, %s migrated, %s failed, %s/s, %s elapsed
constexpr int kMsg9809 = 9809;  // I '%s' was premigrated by an earlier run; ...
constexpr int kMsg9810 = 9810;  // E %s: '%s' cannot be walked: %s.
constexpr int kMsg9850 = 9850;  // I %s: Recalls on %s are served.
constexpr int kMsg9851 = 9851;  // E %s: %s cannot be watched for recalls: its file system (%s) gives no pre-content events. It
constexpr int kMsg9852 = 9852;  // E %s: %s cannot be watched for recalls: %s.
constexpr int kMsg9853 = 9853;  // E %s: The recall of %s failed: the server's data could not be had (return code %d). The acce
constexpr int kMsg9854 = 9854;  // E %s: The recall of %s failed: the server's data does not match its SHA-256 or its size. The
constexpr int kMsg9855 = 9855;  // E %s: The recall of %s failed: no space is left on the file system. The access fails with EN
constexpr int kMsg9856 = 9856;  // E %s: The recall of %s failed: %s. The access fails with an input/output error.
constexpr int kMsg9857 = 9857;  // E %s: Access events of the kernel cannot be had: %s.
constexpr int kMsg9858 = 9858;  // I %s: Stopping; accesses still waiting fail with an input/output error.
constexpr int kMsg9999 = 9999;  // E %s
constexpr int kMsg11099 = 11099;  // I TCP send buffer %d KB, receive buffer %d KB.
constexpr int kMsg11143 = 11143;  // L END OF DATA
constexpr int kMsg11144 = 11144;  // L CONTINUED AT BEGINNING OF FILE
constexpr int kMsg11159 = 11159;  // E The command was interrupted during its start.
constexpr int kMsg11290 = 11290;  // I The options were processed.
constexpr int kMsg11315 = 11315;  // T ------------------------------------------------------------
constexpr int kMsg11340 = 11340;  // W The error log name '%s' is empty or too long and is ignored.
constexpr int kMsg11341 = 11341;  // I The error log name '%s' stays in use.
constexpr int kMsg12609 = 12609;  // I %llu objects have been updated on the server.
constexpr int kMsg20015 = 20015;  // E The sign-on verb could not be sent to the server.
constexpr int kMsg20023 = 20023;  // E A receive is not allowed in session state %s.
constexpr int kMsg20024 = 20024;  // E The verb header could not be read from the server.
constexpr int kMsg20025 = 20025;  // E The verb body could not be read from the server.
constexpr int kMsg20027 = 20027;  // E A send is not allowed in session state %s.
constexpr int kMsg20028 = 20028;  // E A verb could not be written to the server: return code %d.
constexpr int kMsg20037 = 20037;  // E The session can not be ended in state %s.
constexpr int kMsg20107 = 20107;  // E The transaction to add a file space could not be started.
constexpr int kMsg20109 = 20109;  // E The file space could not be added on the server.
constexpr int kMsg20110 = 20110;  // E The transaction to add a file space could not be ended.
constexpr int kMsg20115 = 20115;  // E The file space query could not be sent to the server.
constexpr int kMsg20117 = 20117;  // E The Unicode file space query could not be sent to the server.
constexpr int kMsg20120 = 20120;  // E The server ended the transaction with reason %d.
constexpr int kMsg20121 = 20121;  // E The server answered with an unexpected verb.
constexpr int kMsg20234 = 20234;  // E The transaction list could not be sent to the server.
constexpr int kMsg20235 = 20235;  // T Transaction list statistics:
constexpr int kMsg20430 = 20430;  // E The answer to the sign-on could not be received.
constexpr int kMsg20431 = 20431;  // E The server answered the sign-on with an unexpected verb.
constexpr int kMsg20436 = 20436;  // E The sign-on to the server failed with return code %d.
constexpr int kMsg20440 = 20440;  // R Please enter the password for node '%s' on server '%s':
constexpr int kMsg20441 = 20441;  // E The password store '%s' is not used: %s. It must be a regular...
constexpr int kMsg20442 = 20442;  // E No password is known for node '%s' on server '%s', and there...
constexpr int kMsg20443 = 20443;  // E The password of node '%s' could not be stored in '%s': %s.
constexpr int kMsg20444 = 20444;  // W The server refused the stored password of node '%s' on server...
constexpr int kMsg20583 = 20583;  // E There is not enough memory for the communication buffer.
constexpr int kMsg20584 = 20584;  // E A TCP socket could not be created.
constexpr int kMsg20592 = 20592;  // E The connection to the server could not be made.
constexpr int kMsg20593 = 20593;  // T The connection to the server was made.
constexpr int kMsg20613 = 20613;  // E The TCP connect call failed.
constexpr int kMsg20725 = 20725;  // E The server ended the query with reason %d.
constexpr int kMsg20726 = 20726;  // E The server answered the query with an unexpected verb.
constexpr int kMsg20768 = 20768;  // T Verb length %u, code 0x%02X (%s).
constexpr int kMsg21153 = 21153;  // T A memory pool handle is not valid.
constexpr int kMsg21155 = 21155;  // E A memory pool allocation of zero or fewer bytes was requested.
constexpr int kMsg21157 = 21157;  // T A memory pool allocation failed.
constexpr int kMsg21158 = 21158;  // T A memory pool allocation succeeded.
constexpr int kMsg21215 = 21215;  // E The deletion could not be added to the transaction list.
constexpr int kMsg21301 = 21301;  // T The system options file '%s' could not be opened.
constexpr int kMsg21600 = 21600;  // E The statistics of file system '%s' could not be read.
constexpr int kMsg21605 = 21605;  // E The file space query for '%s' failed.
constexpr int kMsg21606 = 21606;  // E The file space '%s' could not be added on the server.
constexpr int kMsg21607 = 21607;  // E The file space '%s' could not be queried after it was added.
constexpr int kMsg21608 = 21608;  // E The answer to the file space query for '%s' could not be read.
constexpr int kMsg21803 = 21803;  // E The query transaction could not be started on the server: ret...
constexpr int kMsg21804 = 21804;  // E The query of migrated objects could not be sent to the server...

#endif
