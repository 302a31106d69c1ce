<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en">
<context>
    <name>CANopenWrapper</name>
    <message>
        <source>未初始化</source>
        <translation>Not initialised</translation>
    </message>
    <message>
        <source>CAN传输不可用：%1</source>
        <translation>CAN transport unavailable: %1</translation>
    </message>
    <message>
        <source>通道已初始化</source>
        <translation>Channels initialised</translation>
    </message>
    <message>
        <source>通道未初始化</source>
        <translation>Channels not initialised</translation>
    </message>
    <message>
        <source>设备类型设置为: %1</source>
        <translation>Device type set to: %1</translation>
    </message>
    <message>
        <source>设备索引设置为: %1</source>
        <translation>Device index set to: %1</translation>
    </message>
    <message>
        <source>CAN通道设置为: %1</source>
        <translation>CAN channel set to: %1</translation>
    </message>
    <message>
        <source>波特率设置为: %1 kbps</source>
        <translation>Bit rate set to: %1 kbps</translation>
    </message>
    <message>
        <source>通道已启动，不能切换后端；请先关闭程序再选择后端</source>
        <translation>Channels are up; the backend cannot be changed now. Restart the program to choose another backend</translation>
    </message>
    <message>
        <source>后端已设置为zhcx</source>
        <translation>Backend set to zhcx</translation>
    </message>
    <message>
        <source>后端已设置为socketcan</source>
        <translation>Backend set to socketcan</translation>
    </message>
    <message>
        <source>配置列表为空</source>
        <translation>The configuration list is empty</translation>
    </message>
    <message>
        <source>没有启用的配置项</source>
        <translation>No channel is enabled</translation>
    </message>
    <message>
        <source>成功设置 %1 个通道配置</source>
        <translation>%1 channel configuration(s) set</translation>
    </message>
    <message>
        <source>设置通道配置失败</source>
        <translation>Setting the channel configuration failed</translation>
    </message>
    <message>
        <source>成功初始化 %1 个通道</source>
        <translation>%1 channel(s) initialised</translation>
    </message>
    <message>
        <source>没有新的通道需要初始化，%1 个通道已可用</source>
        <translation>No new channel to initialise; %1 channel(s) already up</translation>
    </message>
    <message>
        <source>初始化通道失败</source>
        <translation>Initialising the channels failed</translation>
    </message>
    <message>
        <source>自动配置失败：无法设置通道配置</source>
        <translation>Auto configuration failed: the channel configuration could not be set</translation>
    </message>
    <message>
        <source>自动配置失败：无法应用通道配置</source>
        <translation>Auto configuration failed: the channel configuration could not be applied</translation>
    </message>
    <message>
        <source>自动配置失败：无法应用通道配置（%1）</source>
        <translation>Auto configuration failed: the channel configuration could not be applied (%1)</translation>
    </message>
    <message>
        <source>一键配置完成：成功配置并应用 %1 个通道</source>
        <translation>Auto configuration done: %1 channel(s) configured and applied</translation>
    </message>
    <message>
        <source>缓存了 %1 个.bin文件</source>
        <translation>%1 .bin file(s) cached</translation>
    </message>
    <message>
        <source>匹配了 0 个文件：文件夹中没有.bin文件 (%1)</source>
        <translation>0 files matched: the folder has no .bin files (%1)</translation>
    </message>
    <message>
        <source>匹配了 %1 个文件</source>
        <translation>%1 file(s) matched</translation>
    </message>
    <message>
        <source>未找到节点 %1 的信息</source>
        <translation>No information for node %1</translation>
    </message>
    <message>
        <source>没有可用通道，无法初始化线程池</source>
        <translation>No channel is up; the worker threads cannot be started</translation>
    </message>
    <message>
        <source>通道 %1 没有工作线程，操作未执行</source>
        <translation>Channel %1 has no worker thread; the operation was not run</translation>
    </message>
    <message>
        <source>全部升级结束：成功 %1 个，失败 %2 个</source>
        <translation>Upgrade all finished: %1 succeeded, %2 failed</translation>
    </message>
    <message>
        <source>节点 %1 正在升级，请等待完成</source>
        <translation>Node %1 is being upgraded; wait until it finishes</translation>
    </message>
    <message>
        <source>节点 %1 正在执行其他操作，请等待完成</source>
        <translation>Node %1 is busy with another operation; wait until it finishes</translation>
    </message>
    <message>
        <source>（跳过 %1 个正在操作的电机）</source>
        <translation> (%1 busy motor(s) skipped)</translation>
    </message>
    <message>
        <source>正在停止 %1 个操作</source>
        <translation>Stopping %1 operation(s)</translation>
    </message>
    <message>
        <source>所有资源已清理</source>
        <translation>All resources released</translation>
    </message>
    <message>
        <source>交互式强制进入Bootloader已在运行中</source>
        <translation>Forced bootloader entry is already running</translation>
    </message>
    <message>
        <source>没有已扫描的电机</source>
        <translation>No scanned motors</translation>
    </message>
    <message>
        <source>没有Available状态的电机</source>
        <translation>No motor in state Available</translation>
    </message>
    <message>
        <source>没有可用线程</source>
        <translation>No worker thread available</translation>
    </message>
    <message>
        <source>开始交互式强制进入Bootloader，共 %1 个电机，分为 %2 组任务。请手动断电并重新上电</source>
        <translation>Forced bootloader entry started: %1 motor(s) in %2 group(s). Switch the motors off and on again</translation>
    </message>
    <message>
        <source>已停止交互式强制进入Bootloader操作</source>
        <translation>Forced bootloader entry stopped</translation>
    </message>
    <message>
        <source>节点 %1 成功进入Bootloader模式</source>
        <translation>Node %1 entered the bootloader</translation>
    </message>
    <message>
        <source>交互式强制进入Bootloader完成，成功 %1/%2 个电机</source>
        <translation>Forced bootloader entry finished: %1/%2 motor(s) succeeded</translation>
    </message>
    <message>
        <source>所有任务完成（组 %1/%2）</source>
        <translation>All tasks finished (group %1/%2)</translation>
    </message>
    <message>
        <source>节点 %1 不在Bootloader模式，无法升级</source>
        <translation>Node %1 is not in its bootloader; cannot upgrade</translation>
    </message>
    <message>
        <source>文件不存在: %1</source>
        <translation>File not found: %1</translation>
    </message>
    <message>
        <source>未找到节点 %1 的通道信息</source>
        <translation>No channel found for node %1</translation>
    </message>
    <message>
        <source>准备传输文件: %1 字节</source>
        <translation>Preparing transfer: %1 bytes</translation>
    </message>
    <message>
        <source>节点 %1 的固件文件不存在: %2</source>
        <translation>Firmware file of node %1 not found: %2</translation>
    </message>
    <message>
        <source>已提交 %1 个升级任务到线程池</source>
        <translation>%1 upgrade(s) queued</translation>
    </message>
    <message>
        <source>传输中: %1/%2 字节 (%3%)</source>
        <translation>Transferring: %1/%2 bytes (%3%)</translation>
    </message>
    <message>
        <source>节点 %1 固件传输失败: 0x%2</source>
        <translation>Node %1 firmware transfer failed: 0x%2</translation>
    </message>
    <message>
        <source>传输失败</source>
        <translation>Transfer failed</translation>
    </message>
    <message>
        <source>传输完成: %1 字节</source>
        <translation>Transfer complete: %1 bytes</translation>
    </message>
    <message>
        <source>校验失败 (文件CRC: 0x%1, 设备CRC: 0x%2)</source>
        <translation>Verification failed (file CRC: 0x%1, device CRC: 0x%2)</translation>
    </message>
    <message>
        <source>节点 %1 CRC校验失败</source>
        <translation>Node %1 CRC check failed</translation>
    </message>
    <message>
        <source>校验失败</source>
        <translation>Verification failed</translation>
    </message>
    <message>
        <source>节点 %1 退出Bootloader失败</source>
        <translation>Node %1 failed to leave the bootloader</translation>
    </message>
    <message>
        <source>退出Bootloader失败</source>
        <translation>Leaving the bootloader failed</translation>
    </message>
    <message>
        <source>节点 %1 应用未启动</source>
        <translation>Node %1: application did not start</translation>
    </message>
    <message>
        <source>应用未启动</source>
        <translation>Application did not start</translation>
    </message>
    <message>
        <source>升级成功</source>
        <translation>Upgrade succeeded</translation>
    </message>
    <message>
        <source>节点 %1 升级成功并退出Bootloader</source>
        <translation>Node %1 upgraded and out of the bootloader</translation>
    </message>
    <message>
        <source>节点 %1 正在忙碌，无法进入Bootloader</source>
        <translation>Node %1 is busy; cannot enter the bootloader</translation>
    </message>
    <message>
        <source>已提交 %1 个进入Bootloader任务到线程池</source>
        <translation>%1 bootloader entry task(s) queued</translation>
    </message>
    <message>
        <source>节点 %1 正在忙碌，无法强制进入Bootloader</source>
        <translation>Node %1 is busy; cannot force the bootloader</translation>
    </message>
    <message>
        <source>节点 %1 阻止应用启动成功 (持续 %2 ms)</source>
        <translation>Node %1 held in the bootloader (for %2 ms)</translation>
    </message>
    <message>
        <source>节点 %1 阻止应用启动失败</source>
        <translation>Node %1 could not be held in the bootloader</translation>
    </message>
    <message>
        <source>强制进入Bootloader失败</source>
        <translation>Forcing the bootloader failed</translation>
    </message>
    <message>
        <source>刷新中...</source>
        <translation>Refreshing...</translation>
    </message>
    <message>
        <source>已提交节点 %1 的状态刷新任务</source>
        <translation>Status refresh of node %1 queued</translation>
    </message>
    <message>
        <source>已提交 %1 个状态刷新任务到线程池</source>
        <translation>%1 status refresh(es) queued</translation>
    </message>
    <message>
        <source>未找到通道信息</source>
        <translation>No channel found</translation>
    </message>
    <message>
        <source>连接中断</source>
        <translation>Disconnected</translation>
    </message>
    <message>
        <source>请先配置并应用通道，且确保有可用通道</source>
        <translation>Configure and apply the channels first, and make sure one is up</translation>
    </message>
    <message>
        <source>扫描正在进行，请等待完成</source>
        <translation>A scan is running; wait until it finishes</translation>
    </message>
    <message>
        <source>开始扫描，共 %1 个通道，%2 个节点</source>
        <translation>Scan started: %1 channel(s), %2 node(s)</translation>
    </message>
    <message>
        <source>准备扫描节点 %1-%2</source>
        <translation>Ready to scan nodes %1-%2</translation>
    </message>
    <message>
        <source>扫描节点 ID=%1 (%2/%3) - 发现电机</source>
        <translation>Scanning node ID=%1 (%2/%3) - motor found</translation>
    </message>
    <message>
        <source>扫描节点 ID=%1 (%2/%3)</source>
        <translation>Scanning node ID=%1 (%2/%3)</translation>
    </message>
    <message>
        <source>扫描完成，共发现 %1 个电机</source>
        <translation>Scan complete: %1 motor(s) found</translation>
    </message>
    <message>
        <source>所有通道扫描完成，共发现 %1 个电机</source>
        <translation>All channels scanned: %1 motor(s) found</translation>
    </message>
    <message>
        <source>通道 %1</source>
        <translation>Channel %1</translation>
    </message>
    <message>
        <source>、</source>
        <translation>, </translation>
    </message>
    <message>
        <source>节点 %1 与其他通道重复，未列入列表</source>
        <translation>Node %1 also answers on another channel; not listed</translation>
    </message>
    <message>
        <source>正在进入Bootloader...</source>
        <translation>Entering the bootloader...</translation>
    </message>
    <message>
        <source>节点 %1 已进入Bootloader模式</source>
        <translation>Node %1 is in the bootloader</translation>
    </message>
    <message>
        <source>Bootloader</source>
        <translation>Bootloader</translation>
    </message>
    <message>
        <source>节点 %1 进入Bootloader模式失败</source>
        <translation>Node %1 failed to enter the bootloader</translation>
    </message>
    <message>
        <source>进入Bootloader失败</source>
        <translation>Entering the bootloader failed</translation>
    </message>
    <message>
        <source>正在退出Bootloader...</source>
        <translation>Leaving the bootloader...</translation>
    </message>
    <message>
        <source>节点 %1 已退出Bootloader模式</source>
        <translation>Node %1 left the bootloader</translation>
    </message>
    <message>
        <source>已退出Bootloader</source>
        <translation>Bootloader left</translation>
    </message>
    <message>
        <source>节点 %1 退出Bootloader模式失败</source>
        <translation>Node %1 failed to leave the bootloader</translation>
    </message>
    <message>
        <source>OSTRELO_CAN的值“%1”无效；可用的写法：不设置或 sim（模拟台架）、sim:/场景文件路径、socketcan:0.0=can0,0.1=can1（适配器.通道=接口）、lib:/库文件路径。所有适配器操作都会失败。</source>
        <translation>OSTRELO_CAN=&apos;%1&apos; is not valid; accepted forms: unset or &apos;sim&apos; (simulated bench), &apos;sim:/path/to/scenario&apos;, &apos;socketcan:0.0=can0,0.1=can1&apos; (adapter.channel=interface), &apos;lib:/path/to/library.so&apos;. Every adapter operation will fail.</translation>
    </message>
    <message>
        <source>OSTRELO_CAN=sim：本程序没有内置模拟台架；请使用 OSTRELO_CAN=socketcan:... 或 OSTRELO_CAN=lib:...</source>
        <translation>OSTRELO_CAN=sim: this program has no simulated bench built in; use OSTRELO_CAN=socketcan:... or OSTRELO_CAN=lib:...</translation>
    </message>
    <message>
        <source>SocketCAN接口 %1 不存在</source>
        <translation>SocketCAN interface %1 is missing</translation>
    </message>
    <message>
        <source>SocketCAN接口 %1 未启用；请用以下命令启用：ip link set %1 up type can bitrate &lt;bit/s&gt;</source>
        <translation>SocketCAN interface %1 is down; bring it up with: ip link set %1 up type can bitrate &lt;bit/s&gt;</translation>
    </message>
    <message>
        <source>升级失败</source>
        <translation>Upgrade failed</translation>
    </message>
    <message>
        <source>状态刷新完成：Available %1 个，Bootloader %2 个，连接中断 %3 个</source>
        <translation>Status refreshed: %1 Available, %2 Bootloader, %3 disconnected</translation>
    </message>
    <message>
        <source>无法写入记录文件：%1</source>
        <translation>Cannot write the record file: %1</translation>
    </message>
    <message>
        <source>已导出 %1 条升级记录：%2</source>
        <translation>%1 upgrade record(s) exported: %2</translation>
    </message>
    <message>
        <source>检测到 %1 个适配器，共 %2 个通道</source>
        <translation>%1 adapter(s) found with %2 channel(s)</translation>
    </message>
    <message>
        <source>（没有电机配有固件文件：请先选择固件文件夹并点击“匹配.bin文件”）</source>
        <translation> (no motor has a firmware file: choose the firmware folder and click &quot;Match .bin files&quot; first)</translation>
    </message>
    <message>
        <source>（%1 个配有固件文件的电机不在Bootloader模式：请先点击“进入Bootloader”）</source>
        <translation> (%1 motor(s) with a firmware file are not in bootloader mode: click &quot;Enter bootloader&quot; first)</translation>
    </message>
    <message>
        <source>Upgrade...</source>
        <translation>Upgrade...</translation>
    </message>
    <message>
        <source>Available</source>
        <translation>Available</translation>
    </message>
    <message>
        <source>已提交 %1 个退出Bootloader任务到线程池</source>
        <translation>%1 bootloader exit task(s) queued</translation>
    </message>
    <message>
        <source>等待较慢电机的应答（最多 %1 ms）</source>
        <translation>Waiting for slow motors to answer (up to %1 ms)</translation>
    </message>
    <message>
        <source>节点 %1（%2）</source>
        <translation>node %1 (%2)</translation>
    </message>
    <message>
        <source>扫描共找到 %1 个电机，其中 %2 个的节点ID与其他通道上的电机相同：%3。列表中每个节点ID只列出第一个通道上的电机，其余的列在“其他通道上的同号电机”中，可以换入列表</source>
        <translation>The scan found %1 motor(s); %2 of them share their node id with a motor on another channel: %3. The list shows each node id with its first channel; the others are under &quot;Same node id on other channels&quot; and can be swapped in</translation>
    </message>
    <message>
        <source>；</source>
        <translation>; </translation>
    </message>
    <message>
        <source>初始化通道失败：%1 个通道未能启动，%2 个通道已可用</source>
        <translation>Initialising the channels failed: %1 channel(s) did not come up, %2 channel(s) up</translation>
    </message>
    <message>
        <source>，%1 个通道未能启动</source>
        <translation>; %1 channel(s) did not come up</translation>
    </message>
    <message>
        <source>：%1</source>
        <translation>: %1</translation>
    </message>
    <message>
        <source>准备</source>
        <translation>Preparation</translation>
    </message>
    <message>
        <source>进入Bootloader</source>
        <translation>Entering the bootloader</translation>
    </message>
    <message>
        <source>传输</source>
        <translation>Transfer</translation>
    </message>
    <message>
        <source>校验</source>
        <translation>Verification</translation>
    </message>
    <message>
        <source>启动应用</source>
        <translation>Starting the application</translation>
    </message>
    <message>
        <source>确认应用启动</source>
        <translation>Confirming the application start</translation>
    </message>
    <message>
        <source>%1：%2</source>
        <translation>%1: %2</translation>
    </message>
    <message>
        <source>参数无效</source>
        <translation>invalid arguments</translation>
    </message>
    <message>
        <source>通道不可用</source>
        <translation>the channel is not usable</translation>
    </message>
    <message>
        <source>文件无法读取</source>
        <translation>the file cannot be read</translation>
    </message>
    <message>
        <source>文件为空，未发送</source>
        <translation>the file is empty; nothing was sent</translation>
    </message>
    <message>
        <source>应用未响应进入Bootloader的握手</source>
        <translation>the application did not answer the bootloader handshake</translation>
    </message>
    <message>
        <source>停止指令未被确认，电机未保持在Bootloader</source>
        <translation>the stop command was not acknowledged; the motor is not held in its bootloader</translation>
    </message>
    <message>
        <source>电机运行的是应用，不在Bootloader</source>
        <translation>the motor runs its application, not its bootloader</translation>
    </message>
    <message>
        <source>Bootloader无响应</source>
        <translation>the bootloader does not answer</translation>
    </message>
    <message>
        <source>固件超出电机容量</source>
        <translation>the image is larger than the motor takes</translation>
    </message>
    <message>
        <source>电机中止了传输</source>
        <translation>the motor aborted the transfer</translation>
    </message>
    <message>
        <source>传输中应答超时（帧丢失）</source>
        <translation>no answer in time during the transfer (frames lost)</translation>
    </message>
    <message>
        <source>传输超出时限</source>
        <translation>the transfer took longer than its time limit</translation>
    </message>
    <message>
        <source>传输出错</source>
        <translation>the transfer failed</translation>
    </message>
    <message>
        <source>Bootloader未报告CRC</source>
        <translation>the bootloader did not report its CRC</translation>
    </message>
    <message>
        <source>CRC不一致</source>
        <translation>CRC mismatch</translation>
    </message>
    <message>
        <source>启动指令无法发送</source>
        <translation>the start command could not be sent</translation>
    </message>
    <message>
        <source>电机仍在Bootloader</source>
        <translation>the motor stays in its bootloader</translation>
    </message>
    <message>
        <source>启动后应用无响应</source>
        <translation>the application does not answer after the start</translation>
    </message>
    <message>
        <source>应用版本不符</source>
        <translation>the application reports another version</translation>
    </message>
    <message>
        <source>已取消</source>
        <translation>cancelled</translation>
    </message>
    <message>
        <source>未知原因</source>
        <translation>unknown cause</translation>
    </message>
    <message>
        <source>节点 %1 现在列出的是通道 %2 上的电机；原来的电机移到“其他通道上的同号电机”中</source>
        <translation>Node %1 is now listed with its motor on channel %2; the one listed before moved to &quot;Same node id on other channels&quot;</translation>
    </message>
    <message>
        <source>（%1 个只是宽松匹配或有多个候选，已在行中标出）</source>
        <translation> (%1 only loosely matched or with several candidates, marked in their rows)</translation>
    </message>
    <message>
        <source>（按确认未包括 %1 个电机）</source>
        <translation> (%1 motor(s) left out as confirmed)</translation>
    </message>
    <message>
        <source>节点 %1 版本不符：文件版本 %2，电机报告 %3</source>
        <translation>Node %1 version mismatch: the file&apos;s version is %2, the motor reports %3</translation>
    </message>
    <message>
        <source>版本不符</source>
        <translation>Version mismatch</translation>
    </message>
    <message>
        <source>版本不符（文件 %1，电机 %2）</source>
        <translation>Version mismatch (file %1, motor %2)</translation>
    </message>
    <message>
        <source>（文件 %1，电机报告 %2）</source>
        <translation> (file %1, the motor reports %2)</translation>
    </message>
    <message>
        <source>节点 %1 未响应进入Bootloader的握手：请将其断电并重新上电（最多 %2 秒）</source>
        <translation>Node %1 does not answer the bootloader handshake: switch it off and on again (within %2 s)</translation>
    </message>
    <message>
        <source>：还没有通道配置。请先勾选要用的通道并点击“设置配置”，或点击“一键配置”或“配置检测到的全部通道”</source>
        <translation>: no channel is configured yet. First tick the channels to use and click &quot;Set configuration&quot;, or click &quot;Auto configure&quot; or &quot;Configure all detected channels&quot;</translation>
    </message>
    <message>
        <source>（另有 %1 个其他通道上的同号电机配有文件）</source>
        <translation> (and %1 motors sharing a node id on other channels got a file)</translation>
    </message>
    <message>
        <source>未完成（已取消）</source>
        <translation>Not done (cancelled)</translation>
    </message>
    <message>
        <source>，已取消 %1 个</source>
        <translation>, %1 cancelled</translation>
    </message>
    <message>
        <source>%1（通道 %2.%3）</source>
        <translation>%1 (channel %2.%3)</translation>
    </message>
    <message>
        <source>升级已取消，电机留在Bootloader中</source>
        <translation>Upgrade cancelled, motor left in its bootloader</translation>
    </message>
    <message>
        <source>升级已取消（未开始）</source>
        <translation>Upgrade cancelled (not started)</translation>
    </message>
    <message>
        <source>检测到的 %1 个通道都已启动</source>
        <translation>All %1 detected channels are up already</translation>
    </message>
    <message>
        <source>已配置并启动检测到的 %1 个通道（%2 kbps）</source>
        <translation>Configured and brought up %1 detected channels (%2 kbps)</translation>
    </message>
    <message>
        <source>，%1 个已在运行的通道未动</source>
        <translation>, %1 running channels left as they are</translation>
    </message>
    <message>
        <source>排队中</source>
        <translation>Queued</translation>
    </message>
    <message>
        <source>节点 %1 升级已取消</source>
        <translation>Node %1: upgrade cancelled</translation>
    </message>
    <message>
        <source>升级已取消</source>
        <translation>Upgrade cancelled</translation>
    </message>
    <message>
        <source>节点 %1 固件传输失败</source>
        <translation>Node %1 firmware transfer failed</translation>
    </message>
    <message>
        <source>（%1 个电机已运行其文件的版本）</source>
        <translation> (%1 motors already run their file&apos;s version)</translation>
    </message>
</context>
<context>
    <name>ChannelConfigModel</name>
    <message>
        <source>未知(%1)</source>
        <translation>Unknown (%1)</translation>
    </message>
</context>
<context>
    <name>ChannelConfigPage</name>
    <message>
        <source>通道配置列表 (最多12个)</source>
        <translation>Channel configuration (up to 12)</translation>
    </message>
    <message>
        <source>启用</source>
        <translation>Use</translation>
    </message>
    <message>
        <source>设备类型</source>
        <translation>Device type</translation>
    </message>
    <message>
        <source>设备索引</source>
        <translation>Device index</translation>
    </message>
    <message>
        <source>CAN通道</source>
        <translation>CAN channel</translation>
    </message>
    <message>
        <source>波特率(kbps)</source>
        <translation>Bit rate (kbps)</translation>
    </message>
    <message>
        <source>一键配置</source>
        <translation>Auto configure</translation>
    </message>
    <message>
        <source>设置后端(zhcx)</source>
        <translation>Backend (zhcx)</translation>
    </message>
    <message>
        <source>设置后端(socketcan)</source>
        <translation>Backend (socketcan)</translation>
    </message>
    <message>
        <source>设置配置</source>
        <translation>Set configuration</translation>
    </message>
    <message>
        <source>应用配置</source>
        <translation>Apply configuration</translation>
    </message>
    <message>
        <source>关闭窗口</source>
        <translation>Close window</translation>
    </message>
    <message>
        <source>状态: %1</source>
        <translation>Status: %1</translation>
    </message>
    <message>
        <source>通道配置列表 (最多%1个)</source>
        <translation>Channel configuration list (up to %1)</translation>
    </message>
    <message>
        <source>检测适配器</source>
        <translation>Detect adapters</translation>
    </message>
    <message>
        <source>列出所连接适配器的全部通道（快捷键：Ctrl+D）</source>
        <translation>List every channel of the connected adapters (shortcut: Ctrl+D)</translation>
    </message>
    <message>
        <source>配置检测到的全部通道</source>
        <translation>Configure all detected channels</translation>
    </message>
    <message>
        <source>检测所连接的适配器，并以所选波特率启动它们的全部通道；已启动的通道不变</source>
        <translation>Detects the connected adapters and brings up all their channels at the chosen bit rate; channels already up stay as they are</translation>
    </message>
    <message>
        <source>%1 kbps</source>
        <translation>%1 kbps</translation>
    </message>
</context>
<context>
    <name>ChannelConfigWindow</name>
    <message>
        <source>通道配置</source>
        <translation>Channel configuration</translation>
    </message>
</context>
<context>
    <name>ChannelScanModel</name>
    <message>
        <source>未知</source>
        <translation>Unknown</translation>
    </message>
    <message>
        <source>通道 %1</source>
        <translation>Channel %1</translation>
    </message>
    <message>
        <source>等待开始...</source>
        <translation>Waiting to start...</translation>
    </message>
    <message>
        <source>完成，发现 %1 个电机</source>
        <translation>Done: %1 motor(s) found</translation>
    </message>
    <message>
        <source>%1（%2）</source>
        <translation>%1 (%2)</translation>
    </message>
</context>
<context>
    <name>HistoryDialog</name>
    <message>
        <source>升级历史</source>
        <translation>Upgrade history</translation>
    </message>
    <message>
        <source>自(UTC):</source>
        <translation>Since (UTC):</translation>
    </message>
    <message>
        <source>通道:</source>
        <translation>Channel:</translation>
    </message>
    <message>
        <source>节点ID:</source>
        <translation>Node ID:</translation>
    </message>
    <message>
        <source>结果:</source>
        <translation>Outcome:</translation>
    </message>
    <message>
        <source>全部</source>
        <translation>All</translation>
    </message>
    <message>
        <source>成功</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>失败</source>
        <translation>Failed</translation>
    </message>
    <message>
        <source>中断</source>
        <translation>Interrupted</translation>
    </message>
    <message>
        <source>进行中</source>
        <translation>In progress</translation>
    </message>
    <message>
        <source>查询</source>
        <translation>Search</translation>
    </message>
    <message>
        <source>导出CSV</source>
        <translation>Export CSV</translation>
    </message>
    <message>
        <source>共 %1 条升级记录</source>
        <translation>%1 upgrades</translation>
    </message>
    <message>
        <source>通道 %1 节点 %2</source>
        <translation>channel %1 node %2</translation>
    </message>
    <message>
        <source>身份未知</source>
        <translation>identity unknown</translation>
    </message>
    <message>
        <source>导出升级历史</source>
        <translation>Export upgrade history</translation>
    </message>
    <message>
        <source>CSV文件 (*.csv)</source>
        <translation>CSV files (*.csv)</translation>
    </message>
</context>
<context>
    <name>HistoryModel</name>
    <message>
        <source>日期格式应为 2026-12-01 或 2026-12-01T08:00</source>
        <translation>Write the date as 2026-12-01 or 2026-12-01T08:00</translation>
    </message>
    <message>
        <source>通道格式应为 适配器.通道，例如 0.1</source>
        <translation>Write the channel as adapter.channel, e.g. 0.1</translation>
    </message>
    <message>
        <source>节点ID应在 1 到 127 之间</source>
        <translation>The node ID must be 1 to 127</translation>
    </message>
    <message>
        <source>未知的结果：%1</source>
        <translation>Unknown outcome: %1</translation>
    </message>
    <message>
        <source>还没有升级历史：%1</source>
        <translation>No upgrade history yet: %1</translation>
    </message>
    <message>
        <source>无法读取升级历史 %1：%2</source>
        <translation>Cannot read the upgrade history %1: %2</translation>
    </message>
</context>
<context>
    <name>Main</name>
    <message>
        <source>Motor Upgrade Tool - 主窗口</source>
        <translation>Motor Upgrade Tool - Main window</translation>
    </message>
    <message>
        <source>操作正在进行</source>
        <translation>Operations running</translation>
    </message>
    <message>
        <source>正在等待 %1 个操作结束，程序随后退出…</source>
        <translation>Waiting for %1 operation(s) to end; the program then exits…</translation>
    </message>
    <message>
        <source>还有 %1 个操作正在进行（升级、扫描或Bootloader操作）。
等待它们完成，还是停止它们？
停止的升级会中止传输，电机留在Bootloader中，可以再次升级。</source>
        <translation>%1 operation(s) still running (upgrade, scan or bootloader command).
Wait for them to finish, or stop them?
A stopped upgrade aborts its transfer; the motor stays in its bootloader and can be upgraded again.</translation>
    </message>
    <message>
        <source>等待完成</source>
        <translation>Wait</translation>
    </message>
    <message>
        <source>停止操作并退出</source>
        <translation>Stop and exit</translation>
    </message>
    <message>
        <source>取消</source>
        <translation>Cancel</translation>
    </message>
    <message>
        <source>操作已结束</source>
        <translation>Operations ended</translation>
    </message>
    <message>
        <source>电机停在Bootloader中</source>
        <translation>Motors in their bootloader</translation>
    </message>
    <message>
        <source>所有操作已结束。
%1
结果留在电机列表中；现在退出程序吗？</source>
        <translation>All operations have ended.
%1
The results stay in the motor list; quit the program now?</translation>
    </message>
    <message>
        <source>还有 %1 个电机停在Bootloader中（节点 %2），它们不会运行应用程序。
可以先在电机列表中点击“退出Bootloader”或升级它们。</source>
        <translation>%1 motor(s) stay in their bootloader (node %2) and will not run their application.
In the motor list, &quot;Exit bootloader&quot; or an upgrade brings them back.</translation>
    </message>
    <message>
        <source>退出程序</source>
        <translation>Quit</translation>
    </message>
    <message>
        <source>仍然退出</source>
        <translation>Quit anyway</translation>
    </message>
    <message>
        <source>留在程序中</source>
        <translation>Stay</translation>
    </message>
</context>
<context>
    <name>MainMenuPage</name>
    <message>
        <source>配置设备</source>
        <translation>Configure devices</translation>
    </message>
    <message>
        <source>搜索电机</source>
        <translation>Scan motors</translation>
    </message>
    <message>
        <source>电机列表</source>
        <translation>Motor list</translation>
    </message>
    <message>
        <source>状态: %1</source>
        <translation>Status: %1</translation>
    </message>
    <message>
        <source>快捷键：%1</source>
        <translation>Shortcut: %1</translation>
    </message>
</context>
<context>
    <name>MotorListPage</name>
    <message>
        <source>节点ID</source>
        <translation>Node ID</translation>
    </message>
    <message>
        <source>设备类型</source>
        <translation>Device type</translation>
    </message>
    <message>
        <source>设备索引</source>
        <translation>Index</translation>
    </message>
    <message>
        <source>CAN通道</source>
        <translation>Channel</translation>
    </message>
    <message>
        <source>波特率</source>
        <translation>Bit rate</translation>
    </message>
    <message>
        <source>固件型号</source>
        <translation>Firmware model</translation>
    </message>
    <message>
        <source>刹车后缀</source>
        <translation>Brake suffix</translation>
    </message>
    <message>
        <source>编码器</source>
        <translation>Encoder</translation>
    </message>
    <message>
        <source>版本</source>
        <translation>Version</translation>
    </message>
    <message>
        <source>固件文件</source>
        <translation>Firmware file</translation>
    </message>
    <message>
        <source>操作</source>
        <translation>Actions</translation>
    </message>
    <message>
        <source>状态</source>
        <translation>Status</translation>
    </message>
    <message>
        <source>正在持续发送指令，请执行以下操作：

1. 手动断开所有电机的电源
2. 等待1-2秒
3. 重新接通电源

系统会自动检测响应，收到响应后将自动停止。

您可以随时点击&quot;停止强制进入&quot;按钮取消操作。</source>
        <translation>Sending the stop command continuously. Now:

1. Switch off the power of all motors
2. Wait 1-2 seconds
3. Switch the power on again

The program watches for the answers and stops by itself once they arrive.

Press &quot;Stop forcing&quot; at any time to cancel.</translation>
    </message>
    <message>
        <source>选择固件文件夹</source>
        <translation>Choose firmware folder</translation>
    </message>
    <message>
        <source>匹配.bin文件</source>
        <translation>Match .bin files</translation>
    </message>
    <message>
        <source>进入Bootloader</source>
        <translation>Enter bootloader</translation>
    </message>
    <message>
        <source>退出Bootloader</source>
        <translation>Leave bootloader</translation>
    </message>
    <message>
        <source>强制进入Bootloader</source>
        <translation>Force bootloader</translation>
    </message>
    <message>
        <source>停止强制进入</source>
        <translation>Stop forcing</translation>
    </message>
    <message>
        <source>文件夹: %1</source>
        <translation>Folder: %1</translation>
    </message>
    <message>
        <source>未选择文件夹</source>
        <translation>No folder chosen</translation>
    </message>
    <message>
        <source>刷新状态</source>
        <translation>Refresh status</translation>
    </message>
    <message>
        <source>全部升级</source>
        <translation>Upgrade all</translation>
    </message>
    <message>
        <source>关闭窗口</source>
        <translation>Close window</translation>
    </message>
    <message>
        <source>选择</source>
        <translation>Choose</translation>
    </message>
    <message>
        <source>刷新</source>
        <translation>Refresh</translation>
    </message>
    <message>
        <source>进入BL</source>
        <translation>Enter BL</translation>
    </message>
    <message>
        <source>退出BL</source>
        <translation>Leave BL</translation>
    </message>
    <message>
        <source>强制BL</source>
        <translation>Force BL</translation>
    </message>
    <message>
        <source>升级</source>
        <translation>Upgrade</translation>
    </message>
    <message>
        <source>状态: %1</source>
        <translation>Status: %1</translation>
    </message>
    <message>
        <source>选择固件文件</source>
        <translation>Choose firmware file</translation>
    </message>
    <message>
        <source>Bin文件 (*.bin)</source>
        <translation>Bin files (*.bin)</translation>
    </message>
    <message>
        <source>所有文件 (*.*)</source>
        <translation>All files (*.*)</translation>
    </message>
    <message>
        <source>确定</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>快捷键：%1</source>
        <translation>Shortcut: %1</translation>
    </message>
    <message>
        <source>unknown</source>
        <translation>unknown</translation>
    </message>
    <message>
        <source>其他通道上的同号电机 (%1 个)</source>
        <translation>Same node id on other channels (%1)</translation>
    </message>
    <message>
        <source>节点 %1 · 通道 %2 (%3 %4.%5) · %6 %7 %8 · %9</source>
        <translation>Node %1 · channel %2 (%3 %4.%5) · %6 %7 %8 · %9</translation>
    </message>
    <message>
        <source>换入列表</source>
        <translation>List this one</translation>
    </message>
    <message>
        <source>隐藏日志</source>
        <translation>Hide log</translation>
    </message>
    <message>
        <source>日志</source>
        <translation>Log</translation>
    </message>
    <message>
        <source>导出记录</source>
        <translation>Export record</translation>
    </message>
    <message>
        <source>导出升级记录</source>
        <translation>Export the upgrade record</translation>
    </message>
    <message>
        <source>文件版本</source>
        <translation>File version</translation>
    </message>
    <message>
        <source>已是最新</source>
        <translation>Up to date</translation>
    </message>
    <message>
        <source>降级</source>
        <translation>Downgrade</translation>
    </message>
    <message>
        <source>文件名无版本</source>
        <translation>No version in name</translation>
    </message>
    <message>
        <source>文件名中没有版本号（V&lt;a&gt;_&lt;b&gt;_&lt;c&gt;_&lt;d&gt;）：不比较版本，启动后也不核对版本</source>
        <translation>The file name carries no version (V&lt;a&gt;_&lt;b&gt;_&lt;c&gt;_&lt;d&gt;): versions are not compared, nor checked after the start</translation>
    </message>
    <message>
        <source>文件名不以 %1 开头：它只是按命名规则匹配，可能不是为此电机生成的</source>
        <translation>The file name does not begin with %1: it pairs only by the naming rule and may not be made for this motor</translation>
    </message>
    <message>
        <source>文件夹中有多个为此电机生成的文件，已取第一个；请只保留其中一个</source>
        <translation>The folder holds several files made for this motor; the first was taken. Keep only one of them.</translation>
    </message>
    <message>
        <source>宽松匹配</source>
        <translation>Loose match</translation>
    </message>
    <message>
        <source>多个候选</source>
        <translation>Several candidates</translation>
    </message>
    <message>
        <source>确认全部升级</source>
        <translation>Confirm upgrade all</translation>
    </message>
    <message>
        <source>%1 个电机的固件文件只是宽松匹配或有多个候选，可能不是为该电机生成的（节点 %2）。</source>
        <translation>%1 motor(s) have a file that is only a loose match or one of several candidates, and may not be made for the motor (nodes %2).</translation>
    </message>
    <message>
        <source>一并升级这些电机</source>
        <translation>Upgrade these motors too</translation>
    </message>
    <message>
        <source>%1 个电机的文件版本低于电机当前运行的版本，升级即降级（节点 %2）。</source>
        <translation>%1 motor(s) have a file older than the version they run: the upgrade is a downgrade (nodes %2).</translation>
    </message>
    <message>
        <source>一并降级这些电机</source>
        <translation>Downgrade these motors too</translation>
    </message>
    <message>
        <source>开始升级</source>
        <translation>Start upgrade</translation>
    </message>
    <message>
        <source>取消</source>
        <translation>Cancel</translation>
    </message>
    <message>
        <source>确认降级</source>
        <translation>Confirm downgrade</translation>
    </message>
    <message>
        <source>节点 %1 运行版本 %2，文件的版本 %3 更旧。确定降级吗？</source>
        <translation>Node %1 runs version %2; the file&apos;s version %3 is older. Downgrade it?</translation>
    </message>
    <message>
        <source>进行中</source>
        <translation>In progress</translation>
    </message>
    <message>
        <source>排队中</source>
        <translation>Queued</translation>
    </message>
    <message>
        <source>✓ 成功</source>
        <translation>✓ Succeeded</translation>
    </message>
    <message>
        <source>✗ 失败</source>
        <translation>✗ Failed</translation>
    </message>
    <message>
        <source>已取消</source>
        <translation>Cancelled</translation>
    </message>
    <message>
        <source>Bootloader</source>
        <translation>Bootloader</translation>
    </message>
    <message>
        <source>连接中断</source>
        <translation>Disconnected</translation>
    </message>
    <message>
        <source>忙碌</source>
        <translation>Busy</translation>
    </message>
    <message>
        <source>Available</source>
        <translation>Available</translation>
    </message>
    <message>
        <source>一键升级</source>
        <translation>Upgrade everything</translation>
    </message>
    <message>
        <source>升级文件精确匹配的全部电机（含其他通道上的同号电机）：进入Bootloader、传输、校验、启动，一次确认。快捷键：%1</source>
        <translation>Upgrades every motor whose file matches exactly (motors sharing a node id on other channels included): bootloader entry, transfer, check and start, after one confirmation. Shortcut: %1</translation>
    </message>
    <message>
        <source>升级结果：成功 %1 个，失败 %2 个，未完成 %3 个</source>
        <translation>Upgrade result: %1 succeeded, %2 failed, %3 not done</translation>
    </message>
    <message>
        <source>显示全部行</source>
        <translation>Show all rows</translation>
    </message>
    <message>
        <source>只显示失败和未完成的行</source>
        <translation>Show only failed and not-done rows</translation>
    </message>
    <message>
        <source>关闭</source>
        <translation>Close</translation>
    </message>
    <message>
        <source>%1 · 通道 %2 · 节点 %3 · %4</source>
        <translation>%1 · channel %2 · node %3 · %4</translation>
    </message>
    <message>
        <source>未完成</source>
        <translation>Not done</translation>
    </message>
    <message>
        <source>失败</source>
        <translation>Failed</translation>
    </message>
    <message>
        <source>显示：</source>
        <translation>Show:</translation>
    </message>
    <message>
        <source>全部</source>
        <translation>All</translation>
    </message>
    <message>
        <source>失败和未完成</source>
        <translation>Failed and not done</translation>
    </message>
    <message>
        <source>成功</source>
        <translation>Succeeded</translation>
    </message>
    <message>
        <source>Bootloader中</source>
        <translation>In bootloader</translation>
    </message>
    <message>
        <source>没有文件</source>
        <translation>Without file</translation>
    </message>
    <message>
        <source>%1 / %2 行</source>
        <translation>%1 / %2 rows</translation>
    </message>
    <message>
        <source>点击列标题排序；Shift+滚轮横向滚动</source>
        <translation>Click a column title to sort; Shift+wheel scrolls sideways</translation>
    </message>
    <message>
        <source>通道 %1.%2</source>
        <translation>Channel %1.%2</translation>
    </message>
    <message>
        <source>确认一键升级</source>
        <translation>Confirm: upgrade everything</translation>
    </message>
    <message>
        <source>将升级 %1 个文件精确匹配的电机（其中 %2 个是其他通道上的同号电机）：每个电机进入Bootloader、传输、校验并启动，各通道同时进行。</source>
        <translation>%1 motors whose file matches exactly will be upgraded (%2 of them share a node id with a motor on another channel): each enters its bootloader, takes the image, is checked and started; the channels work at the same time.</translation>
    </message>
    <message>
        <source>没有文件精确匹配、需要升级的电机。</source>
        <translation>No motor with an exactly matching file needs an upgrade.</translation>
    </message>
    <message>
        <source>
%1 个电机已运行其文件的版本，不升级。</source>
        <translation>
%1 motors already run their file&apos;s version and are left as they are.</translation>
    </message>
    <message>
        <source>
%1 个电机正在操作，跳过。</source>
        <translation>
%1 motors are busy and skipped.</translation>
    </message>
    <message>
        <source>文件夹：</source>
        <translation>Folder:</translation>
    </message>
    <message>
        <source>更改…</source>
        <translation>Change…</translation>
    </message>
    <message>
        <source>文件名：</source>
        <translation>File name:</translation>
    </message>
    <message>
        <source>升级记录.csv</source>
        <translation>upgrade-record.csv</translation>
    </message>
    <message>
        <source>保存</source>
        <translation>Save</translation>
    </message>
    <message>
        <source>选择保存记录的文件夹</source>
        <translation>Choose the folder for the record</translation>
    </message>
    <message>
        <source>升级历史</source>
        <translation>Upgrade history</translation>
    </message>
    <message>
        <source>列…</source>
        <translation>Columns…</translation>
    </message>
</context>
<context>
    <name>MotorListWindow</name>
    <message>
        <source>电机列表</source>
        <translation>Motor list</translation>
    </message>
</context>
<context>
    <name>MotorScanPage</name>
    <message>
        <source>期望电机数:</source>
        <translation>Expected motors:</translation>
    </message>
    <message>
        <source>不检查</source>
        <translation>No check</translation>
    </message>
    <message>
        <source>只发现 %1 个电机，期望 %2 个：请检查接线、电源和扫描范围</source>
        <translation>Only %1 motors found, %2 expected: check the wiring, the power and the scan range</translation>
    </message>
    <message>
        <source>通道 %1</source>
        <translation>Channel %1</translation>
    </message>
    <message>
        <source>未知</source>
        <translation>Unknown</translation>
    </message>
    <message>
        <source>等待开始...</source>
        <translation>Waiting to start...</translation>
    </message>
    <message>
        <source>扫描参数</source>
        <translation>Scan settings</translation>
    </message>
    <message>
        <source>起始节点ID:</source>
        <translation>First node ID:</translation>
    </message>
    <message>
        <source>结束节点ID:</source>
        <translation>Last node ID:</translation>
    </message>
    <message>
        <source>超时时间(ms):</source>
        <translation>Time-out (ms):</translation>
    </message>
    <message>
        <source>开始扫描</source>
        <translation>Start scan</translation>
    </message>
    <message>
        <source>✓ 设备已初始化</source>
        <translation>✓ Devices initialised</translation>
    </message>
    <message>
        <source>✗ 请先配置设备通道</source>
        <translation>✗ Configure the device channels first</translation>
    </message>
    <message>
        <source>通道进度 (%1 个通道)</source>
        <translation>Channel progress (%1 channels)</translation>
    </message>
    <message>
        <source>设备类型: %1 | 设备索引: %2 | 通道索引: %3 | 波特率: %4 kbps</source>
        <translation>Device type: %1 | Device index: %2 | Channel: %3 | Bit rate: %4 kbps</translation>
    </message>
    <message>
        <source>快捷键：%1</source>
        <translation>Shortcut: %1</translation>
    </message>
</context>
<context>
    <name>MotorScanWindow</name>
    <message>
        <source>搜索电机</source>
        <translation>Scan motors</translation>
    </message>
</context>
<context>
    <name>SimulatedBenchMark</name>
    <message>
        <source>模拟台架</source>
        <translation>Simulated bench</translation>
    </message>
    <message>
        <source>没有连接真实的CAN适配器：程序正在使用模拟的电机台架（OSTRELO_CAN 未设置或为 sim）</source>
        <translation>No real CAN adapter: the program talks to the simulated motor bench (OSTRELO_CAN unset or sim)</translation>
    </message>
</context>
</TS>
